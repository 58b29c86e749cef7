#pragma once
// What a line station keeps in its state folder: the releases it fetched,
// each beside its signature, and the last assignment it verified, which it
// falls back on when the plant's database is out of reach at its start.

#include "line_database.h"

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace j4::line {

// A unit's end the plant's database has not heard of yet: kept on disk, so
// that a station stopped or killed before the database is back still
// counts it at its next start.
struct PendingUnit {
    enum class Kind {
        Settle,   // a claimed unit ended: its claim completed or failed
        GiveBack, // a claimed unit stopped from outside: neither
        Offline,  // a unit made without the database, counted against `assignment`
    } kind = Kind::Settle;
    std::string attempt;
    bool completed = false;
    long long assignment = 0;
};

class StateFolder {
public:
    explicit StateFolder(std::filesystem::path path) : path_(std::move(path)) {}

    const std::filesystem::path& path() const { return path_; }
    // Where the release of this SHA-256 is kept; its signature is beside it.
    std::filesystem::path releaseFile(const std::string& sha256) const;
    static std::filesystem::path signatureOf(const std::filesystem::path& release);

    // Written whole or not at all: a station killed meanwhile leaves the
    // previous file, never half of one.
    bool keepRelease(const std::string& sha256, std::span<const std::uint8_t> file,
                     const std::string& signature) const;
    bool keepAssignment(const LineAssignment& assignment) const;
    // The assignment kept last, if any was.
    std::optional<LineAssignment> keptAssignment() const;
    // The units' ends not yet heard by the database, replaced whole.
    bool keepPending(const std::vector<PendingUnit>& pending) const;
    std::vector<PendingUnit> keptPending() const;

private:
    std::filesystem::path path_;
};

// Where a station of `line` keeps its last verified assignment: the
// service's state folder (systemd's StateDirectory=), else the user's.
std::filesystem::path lineStateFolder(const std::string& line);

} // namespace j4::line
