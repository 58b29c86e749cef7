#pragma once
// A log of every update attempt: one JSON object per line, appended with one
// write so that several devices and several programs can share the file
// without interleaving or losing a line.

#include "result.h"
#include "update_session.h"

#include <string>

namespace j4 {

// What the report does not know of the program that ran it.
struct LogOrigin {
    std::string version;
    std::string host;
    std::string station;      // the station's name (its host's by default)
    std::string operatorName; // who runs it (its login by default)
};

// The outcome as records name it: "completed", "port_failed", ...
const char* outcomeName(UpdateOutcome outcome);

// The attempt as one line of JSON, without the line end.
std::string logLine(const UpdateReport& report, const LogOrigin& origin);

// "2026-12-07T23:59:01.123Z"
std::string utcTimestamp(std::chrono::system_clock::time_point when);

// Appends `line` to the file at `path` with a single write at its end, so
// that lines from several writers never interleave, or says why it could
// not. One file per platform.
Result<Done> appendLine(const std::string& path, const std::string& line);

class UpdateLog {
public:
    // `path` "-": standard output.
    explicit UpdateLog(std::string path) : path_(std::move(path)) {}

    // Appends the attempt, or says why the line could not be written; the
    // update itself is not affected.
    Result<Done> append(const UpdateReport& report, const LogOrigin& origin) const;
    // Appends a line made by logLine(), its line end included.
    Result<Done> appendText(const std::string& line) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace j4
