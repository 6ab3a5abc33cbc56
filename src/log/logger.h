// The match log: one encrypted file per recording, one line per observation.
//
// Every public operation is safe to call from any thread: one mutex makes each
// record reach the file whole and advances the container for one record at a
// time.
#pragma once

#include "log/container.h"
#include "common/schema.h"
#include "monitors/netstats/netstats.h"
#include "monitors/procwatch/procwatch.h"
#include "monitors/udptcpcon/udptcpcon.h"
#include "platform/os.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class logger {
public:
    logger();
    virtual ~logger();
    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    bool isOpen() const { return open_.load(std::memory_order_acquire); }

    // What became of one record: taken into the log; dropped (no log open, or
    // nothing to write); refused while the disk is full (and counted as lost).
    enum class Written { Taken, Dropped, Refused };

    // Creates a new log file in directory and writes its first record. The
    // directory's text is narrow (the system's code page) or UTF-8.
    bool openLog(std::uint32_t referenceTime, std::uint32_t userId, std::uint32_t matchId, const std::string& directory,
                 os::PathText text = os::PathText::Narrow);
    // Writes the last record and the trailer, then closes the file.
    void closeLog();
    // The same, but gives up after waitMs when another thread holds the log
    // (at process exit on Windows a terminated worker may have left it held).
    bool closeLogWithin(int waitMs);
    // Hands the ciphertext made so far to the file, and after it the text
    // still waiting for a whole block as a provisional last block, so that the
    // file holds every record written so far. What the file does not take (a
    // full disk) stays queued and is offered again by the next flush.
    void flush();
    std::string currentPath() const;
    // The same in UTF-8; empty while no log is open (or when the path cannot
    // be converted).
    std::string currentPathUtf8() const;

    void writeUdpAdd(udptcpcon::SUdpCon record);
    void writeUdpDel(udptcpcon::SUdpCon record);
    void writeTcpAdd(udptcpcon::STcpCon record);
    void writeTcpDel(udptcpcon::STcpCon record);
    void writeProcessAdd(procwatch::SProcessEntry record);
    void writeProcessDel(procwatch::SProcessEntry record);
    void writeEthernetStats(netstats::SAdapterEntry record);
    void writePingStats(int milliseconds, const std::string& server);
    Written writeKeyPressed(const std::string& keyName);
    Written writeSysInfo(const std::string& name, const std::string& value);
    // Any record the schema knows, its values in the order of its fields (for
    // a fact, action is its name): what a new kind of record is written with.
    Written write(schema::Kind kind, const std::vector<std::string_view>& values, std::string_view action = {});

    // Seconds added to the clock for every stamp of the open file.
    std::int64_t offset() const { return clockOffset; }
    // Ciphertext waiting for the file: at most a few kilobytes while the file
    // takes what it is given; up to the backlog budget (plus one record) while
    // it does not.
    std::size_t queuedBytes() const;
    // Records the current log has taken (the last one's after it closed),
    // its start and stop records and loss notes included, and those it
    // refused while the disk was full.
    std::uint64_t recordsWritten() const { return written_.load(std::memory_order_relaxed); }
    std::uint64_t recordsLost() const { return lost_.load(std::memory_order_relaxed); }

    // What may wait in memory for a file that refuses writes. Beyond it new
    // records are refused (and counted in a "Records lost" fact) until the
    // file takes the queue again, so the ciphertext stays one unbroken chain.
    static constexpr std::size_t kBacklogBudget = 4u << 20;

private:
    // A record under construction: the stamp and the kind are in place.
    std::string beginRecord(const char* kindAndAction);
    // Hands a finished line to the container; the caller holds the lock.
    // False when the line was refused.
    bool commit(const std::string& line);
    void writeUdp(schema::Kind kind, const udptcpcon::SUdpCon& r);
    void writeTcp(schema::Kind kind, const udptcpcon::STcpCon& r);
    void writeProcess(schema::Kind kind, const procwatch::SProcessEntry& r);
    void writeInfoStart(std::uint32_t userId, std::uint32_t matchId);
    void writeInfoStop();

    void emit(const unsigned char* data, std::size_t size);
    void flushOutput();
    // Whether a record of this size may enter the container now.
    bool admit(std::size_t size);
    // The fact that records were refused, written before the next one taken.
    void noteLoss();

    void closeLocked();

    mutable std::timed_mutex mutex_;
    std::atomic<bool> open_{false};
    std::int64_t clockOffset = 0;
    std::string filePath;
    os::PathText pathText_ = os::PathText::Narrow;  // the encoding of filePath
    std::unique_ptr<os::File> file;
    Key16 fileKey{};
    CipherStream cipher;
    std::string output;  // ciphertext not yet on disk, oldest first
    std::uint64_t onDisk_ = 0;       // ciphertext on disk; a provisional block may follow it
    std::size_t retryAt_ = 0;        // the size of `output` at which it is handed to the file
    bool writeFailed_ = false;       // the file stopped short at the last write
    std::int64_t lastRetry_ = 0;     // the second of the last retry over the budget
    std::uint64_t lostRecords_ = 0;  // records refused since the last note
    bool closing_ = false;           // the last records are written whatever the budget
    // Counted for the host under the lock, read without it.
    std::atomic<std::uint64_t> written_{0}, lost_{0};

    std::int64_t stampSecond_ = -1;  // the second `stamp_` was made for
    std::string stamp_;
};

}  // namespace vt
