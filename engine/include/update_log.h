#pragma once
// A log of every update attempt: one line per attempt (what a line holds is
// its caller's), appended with one write so that several devices and several
// programs can share the file without interleaving or losing a line.

#include "result.h"
#include "update_session.h"

#include <string>

namespace j4 {

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

    // Appends a line, its line end included, or says why it could not be
    // written; the update itself is not affected.
    Result<Done> appendText(const std::string& line) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace j4
