#pragma once
// Where a program's attempts go: the log, always first, and with a records
// database (--records) the sender that forwards the log to it. With a
// database and no log named, the log is the default one in the user's state
// folder: the records always have their spool.

#include "live_reporter.h"
#include "log_writer.h"
#include "record_sender.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace j4::records {

struct RecordOptions {
    std::string logPath;      // empty: no log, unless there is a database
    std::string url;          // empty: no database
    std::string station;      // empty: J4_STATION_ID, else the host's name
    std::string operatorName; // empty: the login's
};

class RecordKeeping {
public:
    // `listener` hears the sender; it must outlive this.
    RecordKeeping(RecordOptions options, RecordsListener& listener);

    runs::LogWriter& log() { return *log_; }
    std::size_t unsent() const { return sender_ ? sender_->unsent() : 0; }
    // With a database: a station of `slotCount` slots (following `line`, if
    // any) keeps its live state there from now; else nothing.
    void reportLive(std::size_t slotCount, const std::string& line);
    // What a station's events are told to; none without a database.
    LiveReporter* live() { return live_.get(); }
    // At the program's end: the sender gets `bound` to send what waits (not
    // more when the database is already failing); what is left, said.
    std::optional<std::string> finish(std::chrono::milliseconds bound);

private:
    std::unique_ptr<runs::LogWriter> log_;
    std::unique_ptr<RecordSender> sender_;
    std::string url_;
    std::unique_ptr<LiveReporter> live_;
};

// The records database J4_RECORDS names; empty when unset.
std::string recordsFromEnvironment();

} // namespace j4::records
