#pragma once
// An assignment's release fetched from the plant's database, kept in the
// station's state folder, and checked with the station's own trusted keys
// (an assignment never bypasses them, and a signature is required). No
// state of its own: a follower asks it outside its lock.

#include "line_database.h"
#include "release_check.h"

#include <filesystem>
#include <memory>
#include <string>

namespace j4::line {

// What the line sends now, as the operator sees it.
struct Following {
    LineAssignment assignment;
    std::shared_ptr<const DecodedFile> decoded;
    std::string filePath; // the kept release
    bool offline = false; // the database was out of reach at start
};

class AssignmentFetch {
public:
    AssignmentFetch(std::string line, std::filesystem::path stateFolder,
                    release::ReleaseOptions release);

    // Assignment `id` and its release, fetched (the copy kept reused),
    // checked and kept as the one to fall back on.
    Result<Following> fetch(LineDatabase& database, long long id) const;
    // The last verified assignment kept, checked again.
    Result<Following> lastKept() const;

private:
    Result<Done> keepRelease(LineDatabase& database, const std::string& sha256) const;
    Result<Following> verified(const LineAssignment& assignment,
                               const std::filesystem::path& file) const;

    std::string line_;
    std::filesystem::path stateFolder_;
    release::ReleaseOptions release_;
};

} // namespace j4::line
