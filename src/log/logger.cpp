#include "log/logger.h"

#include "log/format.h"
#include "log/keygen.h"

#include <boost/filesystem.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace vt {
namespace {

constexpr std::size_t kOutputFlush = 64 * 1024;

// Whether some entry other than a directory has this name.
bool nameTaken(const boost::filesystem::path& dir, const std::string& name, bool& listed) {
    boost::system::error_code ec;
    boost::filesystem::directory_iterator it(dir, ec), end;
    listed = !ec;
    for (; !ec && it != end; it.increment(ec)) {
        boost::system::error_code sec;
        if (boost::filesystem::is_directory(it->symlink_status(sec))) continue;
        if (it->path().filename().native() == boost::filesystem::path(name).native()) return true;
    }
    if (ec) listed = false;
    return false;
}

}  // namespace

logger::logger() : cipher([this](const unsigned char* data, std::size_t size) { emit(data, size); }) {
    keygen::seed(static_cast<std::uint32_t>(os::currentTime()));
}

// A file still open is left as it stands: whole blocks, without the last
// record or the trailer, which readers report as never closed.
logger::~logger() {
    std::lock_guard<std::timed_mutex> lock(mutex_);
    flushOutput();
}

std::string logger::currentPath() const {
    std::lock_guard<std::timed_mutex> lock(mutex_);
    return filePath;
}

std::string logger::currentPathUtf8() const {
    std::lock_guard<std::timed_mutex> lock(mutex_);
    std::string utf8;
    if (!os::pathToUtf8(filePath, pathText_, utf8)) utf8.clear();
    return utf8;
}

bool logger::openLog(std::uint32_t referenceTime, std::uint32_t userId, std::uint32_t matchId,
                     const std::string& directory, os::PathText text) {
    namespace fs = boost::filesystem;
    std::lock_guard<std::timed_mutex> lock(mutex_);
    if (directory.empty() || isOpen()) return false;
    // A narrow text goes to the file system as it is (the narrow calls read
    // it in the code page); another is converted to the system's own text.
    fs::path dir(directory);
    if (text != os::PathText::Narrow) {
        os::NativePath native;
        if (!os::nativePath(directory, text, native)) return false;
        dir = fs::path(native);
    }

    // The host's clock (above 2,000,000 s) corrects every stamp of this file:
    // stamps read the host's time plus the time elapsed since the open. In 64
    // bits, so that a reference 2^31 s or more ahead of the clock cannot wrap.
    clockOffset = referenceTime > 2000000u ? std::int64_t(referenceTime) - os::currentTime() : 0;

    boost::system::error_code ec;
    bool created = false;
    fs::file_status st = fs::status(dir, ec);
    if (ec && st.type() != fs::file_not_found) return false;
    if (!fs::exists(st)) {
        created = fs::create_directory(dir, ec);
        if (ec || !fs::is_directory(fs::status(dir, ec)) || ec) return false;
    } else if (!fs::is_directory(st)) {
        return false;
    }
    auto undo = [&] {
        if (created) fs::remove(dir, ec);  // leave nothing behind; removes only an empty directory
        return false;
    };

    const std::string stem =
        fileNameStamp(calendarTime(os::currentTime() + clockOffset)) + "_MID_" + std::to_string(matchId);
    std::string chosen;
    for (int i = 0; i <= 9 && chosen.empty(); ++i) {
        std::string candidate = stem + "_" + char('0' + i) + ".vtl";
        bool listed = false;
        bool taken = nameTaken(dir, candidate, listed);
        if (!listed) return undo();
        if (!taken) chosen = candidate;
    }
    if (chosen.empty()) return undo();

    std::string path = directory + os::pathSeparator() + chosen;
    // Exclusive creation: a file that appeared since the search is never replaced.
    file = os::createNewFile(path, text);
    if (!file) return undo();
    // A key only for a file that exists: a refused open leaves the generator
    // where it was, so the n-th file of the process has the n-th key, which
    // is what the key search of a file that was never closed counts on.
    fileKey = makeFileKey();
    cipher.resetCipher(fileKey.data());
    filePath = path;
    pathText_ = text;
    written_ = 0;
    lost_ = 0;
    output.clear();
    onDisk_ = 0;
    retryAt_ = kOutputFlush;
    writeFailed_ = false;
    lostRecords_ = 0;
    open_.store(true, std::memory_order_release);
    writeInfoStart(userId, matchId);
    return true;
}

void logger::closeLog() {
    std::lock_guard<std::timed_mutex> lock(mutex_);
    closeLocked();
}

bool logger::closeLogWithin(int waitMs) {
    std::unique_lock<std::timed_mutex> lock(mutex_, std::chrono::milliseconds(waitMs));
    if (!lock.owns_lock()) return false;
    closeLocked();
    return true;
}

void logger::flush() {
    std::lock_guard<std::timed_mutex> lock(mutex_);
    flushOutput();
}

std::size_t logger::queuedBytes() const {
    std::lock_guard<std::timed_mutex> lock(mutex_);
    return output.size();
}

// The last records are taken whatever the backlog, after the note of any loss,
// so a file the disk takes to its end verifies. One whose end the disk refuses
// now stays unsealed, which readers report; nothing waits for the disk here.
void logger::closeLocked() {
    if (!isOpen()) return;
    if (file) {
        closing_ = true;
        if (lostRecords_ > 0) noteLoss();
        writeInfoStop();
        closing_ = false;
        flushOutput();
        file->close();
        file.reset();
    }
    std::string().swap(output);  // a backlog's memory goes with it
    open_.store(false, std::memory_order_release);
    filePath.clear();
}

// ---- records ---------------------------------------------------------------

std::string logger::beginRecord(const char* kindAndAction) {
    const std::int64_t t = os::currentTime() + clockOffset;
    if (t != stampSecond_) {
        stamp_ = recordStamp(calendarTime(t));
        stampSecond_ = t;
    }
    std::string line;
    line.reserve(128);
    line += stamp_;
    line += ';';
    line += kindAndAction;
    return line;
}

bool logger::commit(const std::string& line) {
    if (!admit(line.size())) {
        ++lostRecords_;
        lost_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (lostRecords_ > 0) noteLoss();
    cipher.encryptAppend(line);
    written_.fetch_add(1, std::memory_order_relaxed);
    if (output.size() >= retryAt_) flushOutput();
    return true;
}

// One record: under the lock, only while open, stamped, laid out as its shape
// says, ended by a line feed.
logger::Written logger::write(schema::Kind kind, const std::vector<std::string_view>& values, std::string_view action) {
    std::lock_guard<std::timed_mutex> lock(mutex_);
    if (!isOpen()) return Written::Dropped;
    std::string line = beginRecord("");
    appendRecord(line, schema::shape(kind), action, values.data(), values.size());
    line += '\n';
    return commit(line) ? Written::Taken : Written::Refused;
}

// Every record's text comes from the schema's table: the write* functions only
// hand over the values, in the order of the shape's fields.
using schema::Kind;

void logger::writeUdpAdd(udptcpcon::SUdpCon r) { writeUdp(Kind::UdpAdd, r); }
void logger::writeUdpDel(udptcpcon::SUdpCon r) { writeUdp(Kind::UdpDel, r); }
void logger::writeTcpAdd(udptcpcon::STcpCon r) { writeTcp(Kind::TcpAdd, r); }
void logger::writeTcpDel(udptcpcon::STcpCon r) { writeTcp(Kind::TcpDel, r); }
void logger::writeProcessAdd(procwatch::SProcessEntry r) { writeProcess(Kind::ProcessAdd, r); }
void logger::writeProcessDel(procwatch::SProcessEntry r) { writeProcess(Kind::ProcessDel, r); }

void logger::writeUdp(Kind kind, const udptcpcon::SUdpCon& r) {
    write(kind, {r.localIp, std::to_string(r.localPort), std::to_string(r.pid), r.path});
}

void logger::writeTcp(Kind kind, const udptcpcon::STcpCon& r) {
    write(kind, {r.localIp, std::to_string(r.localPort), r.remoteIp, std::to_string(r.remotePort),
                 std::to_string(r.pid), r.path});
}

void logger::writeProcess(Kind kind, const procwatch::SProcessEntry& r) {
    write(kind, {std::to_string(r.pid), r.path});
}

void logger::writeEthernetStats(netstats::SAdapterEntry r) {
    write(Kind::EthernetStats, {r.description, formatThroughput(r.txDelta), formatThroughput(r.rxDelta)});
}

void logger::writePingStats(int milliseconds, const std::string& server) {
    write(Kind::PingStats, {server, std::to_string(milliseconds)});
}

logger::Written logger::writeKeyPressed(const std::string& keyName) { return write(Kind::KeyPressed, {keyName}); }

logger::Written logger::writeSysInfo(const std::string& name, const std::string& value) {
    if (name.empty() || value.empty()) return Written::Dropped;
    return write(Kind::SysInfo, {value}, name);
}

void logger::writeInfoStart(std::uint32_t userId, std::uint32_t matchId) {
    std::string line = beginRecord("");
    appendRecord(line, schema::shape(Kind::InfoStart), {}, {std::to_string(userId), std::to_string(matchId)});
    line += '\n';
    commit(line);
}

void logger::writeInfoStop() {
    std::string line = beginRecord("");
    appendRecord(line, schema::shape(Kind::InfoStop), {}, {});
    line += '\n';
    commit(line);
    cipher.writeTrailer(fileKey);
}

// ---- output ------------------------------------------------------------------

// Ciphertext leaves in large writes. A write the file cuts short (a full
// disk) leaves the rest queued, in order; it is offered again at every flush
// and whenever another 64 KiB have joined it. Whatever the file took is off
// the queue, so the file always holds an exact prefix of the ciphertext and the
// digest of the sealed file covers exactly its bytes.
void logger::emit(const unsigned char* data, std::size_t size) {
    output.append(reinterpret_cast<const char*>(data), size);
}

// Once the queue is on disk, the text still waiting for a whole block follows
// it as a provisional last block, so that a file cut after this flush holds
// every record handed over before it, whole. The chain and the digest never
// cover that block: the next flush writes over it, in place, before it
// appends, and a sealed file is the same whether or not it ever held one.
// While the queue waits for the disk, so does the provisional block; the one
// on disk stays, and still ends an older, consistent prefix of the text.
void logger::flushOutput() {
    if (!file) return;
    // Offered again as long as the file takes some of it.
    std::size_t taken = 0;
    while (taken < output.size()) {
        const std::size_t n = file->writeAt(onDisk_ + taken, output.data() + taken, output.size() - taken);
        if (n == 0) break;
        taken += n;
    }
    output.erase(0, taken);
    onDisk_ += taken;
    writeFailed_ = !output.empty();
    retryAt_ = output.size() + kOutputFlush;
    unsigned char last[kBlock];
    if (!writeFailed_ && cipher.provisionalBlock(last)) file->writeAt(onDisk_, last, kBlock);
}
// A record is refused only while the file refuses writes and the queue would
// pass the budget. Whole records are refused before they are encrypted, so the
// chain of what is written continues unbroken and only they are lost.
bool logger::admit(std::size_t size) {
    auto fits = [&] { return output.size() + cipher.pendingSize() + size <= kBacklogBudget; };
    if (closing_ || !writeFailed_ || fits()) return true;
    const std::int64_t now = os::currentTime();
    if (now != lastRetry_) {  // the disk may have room again; ask once a second
        lastRetry_ = now;
        flushOutput();
    }
    return !writeFailed_ || fits();
}

void logger::noteLoss() {
    const std::uint64_t lost = lostRecords_;
    lostRecords_ = 0;
    std::string line = beginRecord("");
    appendRecord(line, schema::shape(Kind::SysInfo), schema::fact::kRecordsLost, {std::to_string(lost)});
    line += '\n';
    cipher.encryptAppend(line);
    written_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace vt
