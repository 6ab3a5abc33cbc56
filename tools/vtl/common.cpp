#include "verbs.h"

#include "common/printable.h"
#include "export/export.h"

#include <csignal>
#include <exception>
#include <new>
#include <ostream>

namespace vtl {

std::atomic<bool>& recover::interruptFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

namespace {
extern "C" void onInterrupt(int) { recover::interruptFlag().store(true); }
}  // namespace

InterruptGuard::InterruptGuard() {
    recover::interruptFlag().store(false);
    previous_ = std::signal(SIGINT, onInterrupt);
}

InterruptGuard::~InterruptGuard() {
    if (previous_ != SIG_ERR) std::signal(SIGINT, previous_);
}

PrintableLines::~PrintableLines() { put(true); }

bool PrintableLines::put(bool all) {
    const std::size_t end = all ? line_.size() : line_.rfind('\n') + 1;  // npos + 1: nothing
    if (end == 0) return bool(target_);
    target_ << vt::printable(std::string_view(line_).substr(0, end), keep_);
    line_.erase(0, end);
    return bool(target_);
}

PrintableLines::int_type PrintableLines::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    line_ += traits_type::to_char_type(c);
    if (line_.back() == '\n' && !put(false)) return traits_type::eof();
    return c;
}

std::streamsize PrintableLines::xsputn(const char* s, std::streamsize n) {
    line_.append(s, std::size_t(n));
    return line_.find('\n', line_.size() - std::size_t(n)) == std::string::npos || put(false) ? n : 0;
}

int PrintableLines::sync() {
    put(true);
    target_.flush();
    return target_ ? 0 : -1;
}

bool refusePostgresUri(const std::string& database, const char* command, std::ostream& err) {
    if (!vt::exporter::isPostgresUri(database)) return false;
    const bool writes = std::string(command) == "index";
    err << "vtl " << command << (writes ? " writes" : " reads")
        << " a SQLite file; the database given is a postgresql:// URI (not repeated here). Give the index's file "
           "name; vtl export copies an index into PostgreSQL\n";
    return true;
}

int guarded(const std::string& name, std::ostream& err, const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        err << name << ": cannot be read (out of memory)\n";
    } catch (const std::exception& e) {
        err << name << ": cannot be read (" << e.what() << ")\n";
    } catch (...) {
        err << name << ": cannot be read\n";
    }
    return kNotWhole;
}

}  // namespace vtl
