#pragma once
// Spool and forward: every record is in the log before anything else, and a
// sender of its own forwards the log's new lines to the plant's database in
// the background. How far it got is kept beside the log (LOG.sent) and made
// durable after each batch, so a program started again resumes there; a
// line sent twice (killed between the insert and that note) is still one
// row. Nothing of an update ever waits for the database.

#include "log_batches.h"
#include "record_database.h"
#include "worker_thread.h"

#include <QFile>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace j4::records {

// What the sender tells the program, from its own thread.
class RecordsListener {
public:
    virtual ~RecordsListener() = default;
    // Once when records start to wait, once when they have gone, a line
    // of the log that is not a record, and a record the database refused.
    virtual void said(const std::string& text) = 0;
    virtual void unsentChanged(std::size_t count) { static_cast<void>(count); }
    // Records the database refused so far, set aside in the log.
    virtual void refusedChanged(std::size_t count) { static_cast<void>(count); }
    // Attempts the update log cannot take yet, kept in memory (a full disk).
    virtual void unloggedChanged(std::size_t count) { static_cast<void>(count); }
};

class RecordSender {
public:
    struct Timing {
        std::chrono::milliseconds firstRetry{1000};
        std::chrono::milliseconds longestRetry{30000};
        RecordDatabase::Bounds database{};
    };

    RecordSender(std::string logPath, std::string url, RecordsListener& listener, Timing timing);
    RecordSender(std::string logPath, std::string url, RecordsListener& listener)
        : RecordSender(std::move(logPath), std::move(url), listener, Timing{}) {}
    // Stops at once: what is not sent waits in the log for the next start.
    ~RecordSender();
    RecordSender(const RecordSender&) = delete;
    RecordSender& operator=(const RecordSender&) = delete;

    // A line was appended: look now rather than at the next round.
    void wake();
    // Waits until nothing is left to send, the database has failed, or
    // `bound` passed; true when nothing is left.
    bool settle(std::chrono::milliseconds bound);
    std::size_t unsent() const { return unsent_; }
    const std::string& logPath() const { return logPath_; }

private:
    void loop();
    bool follow();
    LogBatch readBatch();
    bool send(const LogBatch& batch);
    void failed(const std::string& why);
    void storePosition();
    void countWaiting();
    void setUnsent(std::size_t count);
    void pause(std::chrono::milliseconds length);

    const std::string logPath_;
    const std::string url_;
    RecordsListener& listener_;
    const Timing timing_;
    std::unique_ptr<RecordDatabase> database_;
    std::unique_ptr<QFile> log_; // the log being read, kept open across a rotation
    LogPosition position_;       // how far it is in the database
    std::uint64_t counted_ = 0;  // lines after `position_` are counted up to here
    std::uint64_t waitingLines_ = 0;
    std::uint64_t damagedSaid_ = 0; // the last line said not to be a record
    std::size_t refused_ = 0;
    std::atomic<std::size_t> unsent_{0};
    bool waiting_ = false; // an outage, said
    std::size_t sentSinceWaiting_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> failing_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
    bool settled_ = false; // all read is sent, and nothing appended since
    WorkerThread thread_;  // last: it stops before what it uses goes
};

// The lines of `logPath` not yet in the database, by its kept position:
// what waits, after a sender has stopped.
std::size_t recordsWaiting(const std::string& logPath);

// Where records go when --records is given without a log:
// $XDG_STATE_HOME/j4-updater/attempts.jsonl (~/.local/state by default).
std::string defaultRecordsLog();

} // namespace j4::records
