// A match in the console: the page `vtl report` draws for its stored files,
// what the server knows of them, and the three downloads (the log as stored,
// the log recovered as `vtl recover` seals it, its records as JSON Lines).
// Included before the HTTP library, whose system headers define byte-order macros.
#include "platform/os.h"
#include "read/logfile.h"
#include "read/sealed.h"
#include "server/console.h"

#include "common/schema.h"
#include "log/container.h"
#include "log/format.h"
#include "read/records.h"
#include "report/html.h"
#include "report/report.h"

#include <boost/filesystem.hpp>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

namespace vt {
namespace server {
namespace console {

namespace {

namespace fs = boost::filesystem;

// The recording of /match/RID/..., or an answer of 404 given.
std::optional<Recording> asked(Context& c, const httplib::Request& req, httplib::Response& res, const Who& who) {
    std::int64_t id = 0;
    std::optional<Recording> r;
    if (number(req.matches[1], id)) {
        Data data(c.options.database);
        r = recording(data, c.registry, c.store, id);
    }
    if (!r) sendPage(res, 404, layout("No such match", "<h1>No such match</h1>", &who));
    return r;
}

// The file downloads are made of: the recording's own, when the store holds it.
const StoredFile* mainFile(const Recording& r) {
    for (const auto& f : r.files)
        if (!f.path.empty()) return &f;
    return nullptr;
}

// A log read the way the server read it: its key searched for (within the
// server's limit) only when the server found it before.
struct Opened {
    std::unique_ptr<read::LogFile> log;
};
Opened open(const Context& c, const StoredFile& f) {
    read::Options o;
    o.search = f.state == "recovered";
    std::atomic<bool> stop{false};
    o.stop = &stop;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread timer([&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, c.options.searchLimit, [&] { return done; });
        stop = true;
    });
    Opened out;
    out.log = std::make_unique<read::LogFile>(f.path, o);
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_all();
    timer.join();
    return out;
}

std::string downloadName(const StoredFile& f, std::int64_t id, const char* suffix) {
    std::string stem = fs::path(f.path).stem().string();
    for (char ch : stem)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_' && ch != '.') stem.clear();
    if (stem.empty()) stem = "recording-" + std::to_string(id);
    return stem + suffix;
}

void attachment(httplib::Response& res, std::string body, const std::string& name, const char* type) {
    res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
    res.set_content(std::move(body), type);
}

std::string fileList(const Recording& r) {
    const StoredFile* f = mainFile(r);
    std::string dl = "<dl id=\"file\">";
    auto item = [&](const char* term, const std::string& value, const char* id = nullptr) {
        dl += std::string("<dt>") + term + "</dt><dd" + (id ? std::string(" id=\"") + id + "\"" : "") + ">" +
              esc(value) + "</dd>";
    };
    if (f) {
        item("State", f->state, "state");
        item("SHA-256", f->sha256, "sha256");
        item("Upload token", f->token, "token");
        item("Arrived (UTC)", f->arrived, "arrived");
    } else {
        item("State", "the store does not hold this recording's file", "state");
    }
    for (const auto& other : r.files)
        if (&other != f) item("Other file", other.sha256 + " (" + other.state + ")");
    return dl + "</dl>";
}

void matchPage(Context& c, const httplib::Request& req, httplib::Response& res, const Who& who) {
    const auto r = asked(c, req, res, who);
    if (!r) return;
    const std::string id = r->row["id"].dump();
    const std::string title = "Match " + r->row["match_id"].dump() + ", account " + r->row["user_id"].dump();
    std::string body = "<h1>" + esc(title) + "</h1><p><a class=\"account\" href=\"/account/" +
                       r->row["user_id"].dump() + "\">Account " + r->row["user_id"].dump() + "</a></p>" + fileList(*r);
    if (const StoredFile* f = mainFile(*r)) {
        body += "<p class=\"downloads\"><a id=\"download-log\" href=\"/match/" + id + "/log\">The log</a>";
        if (f->state != "whole")
            body += " <a id=\"download-recovered\" href=\"/match/" + id + "/recovered\">The recovered log</a>";
        body += " <a id=\"download-jsonl\" href=\"/match/" + id + "/jsonl\">Its records as JSON Lines</a>"
                " <a id=\"open-report\" href=\"/match/" + id + "/report\">The report alone</a></p>"
                "<iframe id=\"report\" src=\"/match/" + id + "/report\" sandbox=\"allow-scripts\" "
                "title=\"The match report\"></iframe>";
    }
    // The report is framed from this server, and from nowhere else.
    res.set_header("Content-Security-Policy", std::string(kPolicy) + "; frame-src 'self'");
    sendPage(res, 200, layout(title, body, &who));
}

void reportPage(Context& c, const httplib::Request& req, httplib::Response& res, const Who& who) {
    const auto r = asked(c, req, res, who);
    if (!r) return;
    std::vector<std::string> files;
    bool search = false;
    for (const auto& f : r->files)
        if (!f.path.empty()) {
            files.push_back(f.path);
            search = search || f.state == "recovered";
        }
    std::ostringstream page, notes;
    report::writePage(report::readModel(files, search, notes), page);
    // The report's own policy (its script by hash), framed only by this server's pages.
    res.set_header("Content-Security-Policy",
                   report::contentSecurityPolicy() + "; frame-ancestors 'self'; base-uri 'none'; form-action 'none'");
    sendPage(res, 200, page.str());
}

void download(Context& c, const httplib::Request& req, httplib::Response& res, const Who& who, const std::string& what) {
    const auto r = asked(c, req, res, who);
    if (!r) return;
    const StoredFile* f = mainFile(*r);
    const std::int64_t id = r->row["id"].get<std::int64_t>();
    if (!f) {
        sendPage(res, 404, layout("Not held", "<h1>The store does not hold this recording's file</h1>", &who));
        return;
    }
    if (what == "log") {
        std::ifstream in(f->path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (!in) throw std::runtime_error("the stored file cannot be read");
        attachment(res, bytes.str(), downloadName(*f, id, ".vtl"), "application/octet-stream");
        return;
    }
    Opened o = open(c, *f);
    if (!o.log->readable()) {
        sendPage(res, 404, layout("Cannot be read", "<h1>Its records cannot be read</h1><p>" +
                                                        esc(o.log->reason()) + "</p>", &who));
        return;
    }
    std::string body;
    if (what == "recovered") {
        if (o.log->whole()) {
            sendPage(res, 404, layout("Whole", "<h1>The log is whole: nothing to recover</h1>", &who));
            return;
        }
        if (!read::writeRecovered(*o.log, fs::path(f->path).filename().string(),
                                  [&body](const unsigned char* data, std::size_t size) {
                                      body.append(reinterpret_cast<const char*>(data), size);
                                      return true;
                                  }))
            throw std::runtime_error("the stored file cannot be read to its end");
        attachment(res, std::move(body), downloadName(*f, id, "_recovered.vtl"), "application/octet-stream");
        return;
    }
    const bool read = o.log->readLines([&](const std::string& line, bool cut, std::uint64_t length) {
        read::Record rec = read::parseRecord(line);
        rec.cut = cut;
        rec.length = cut ? length : 0;
        body += read::toJson(rec) + "\n";
        return true;
    });
    if (!read) throw std::runtime_error("the stored file cannot be read to its end");
    attachment(res, std::move(body), downloadName(*f, id, ".jsonl"), "application/x-ndjson");
}

}  // namespace

void addFiles(httplib::Server& http, Context& c) {
    http.Get(R"(/match/([^/]+))", page(c, [&c](const httplib::Request& req, httplib::Response& res, const Who& w) {
        matchPage(c, req, res, w);
    }));
    http.Get(R"(/match/([^/]+)/report)", page(c, [&c](const httplib::Request& req, httplib::Response& res,
                                                      const Who& w) { reportPage(c, req, res, w); }));
    for (const char* what : {"log", "recovered", "jsonl"})
        http.Get(std::string(R"(/match/([^/]+)/)") + what,
                 page(c, [&c, what](const httplib::Request& req, httplib::Response& res, const Who& w) {
                     download(c, req, res, w, what);
                 }));
}

}  // namespace console
}  // namespace server
}  // namespace vt
