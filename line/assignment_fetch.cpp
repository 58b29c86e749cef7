#include "assignment_fetch.h"

#include "state_folder.h"

namespace j4::line {

namespace fs = std::filesystem;

AssignmentFetch::AssignmentFetch(std::string line, fs::path stateFolder,
                                 release::ReleaseOptions release)
    : line_(std::move(line)), stateFolder_(std::move(stateFolder)), release_(std::move(release)) {
    // A line station sends only what a trusted key signed.
    release_.requireSignature = true;
}

Result<Done> AssignmentFetch::keepRelease(LineDatabase& database, const std::string& sha256) const {
    auto release = database.release(sha256);
    if (!release)
        return fail("line " + line_ + ": " + release.error());
    const StateFolder folder(stateFolder_);
    if (!folder.keepRelease(sha256, release->file, release->signature))
        return fail("line " + line_ + ": its release cannot be kept in " + folder.path().string());
    return Done{};
}

Result<Following> AssignmentFetch::fetch(LineDatabase& database, long long id) const {
    auto assignment = database.assignment(id);
    if (!assignment)
        return fail("line " + line_ + ": " + assignment.error());
    const StateFolder folder(stateFolder_);
    const auto file = folder.releaseFile(assignment->sha256);
    const bool fetched = !fs::exists(file);
    if (fetched)
        if (auto kept = keepRelease(database, assignment->sha256); !kept)
            return fail(kept.error());
    auto following = verified(*assignment, file);
    // The copy kept from before may be signed by a key since retired: the
    // plant's own copy (signed anew) is what counts.
    if (!following && !fetched)
        if (keepRelease(database, assignment->sha256))
            following = verified(*assignment, file);
    // Kept last, once checked: what a station falls back on was verified.
    if (following)
        folder.keepAssignment(*assignment);
    return following;
}

Result<Following> AssignmentFetch::verified(const LineAssignment& assignment,
                                            const fs::path& file) const {
    release::ReleaseOptions options = release_;
    options.signatureFile = StateFolder::signatureOf(file).string();
    const PreparedFile prepared =
        release::prepareReleased(options, file.string(), UpdateFileReader::Kinds::RegularOnly);
    const std::string name =
        "release " + (assignment.version.empty() ? assignment.sha256 : assignment.version);
    if (!prepared.ok()) {
        std::error_code ignored;
        fs::remove(file, ignored); // fetched again next time, perhaps signed anew
        return fail("line " + line_ + ": " + name + " is refused: " + prepared.text +
                    (prepared.detail.empty() ? "" : " " + prepared.detail));
    }
    if (prepared.decoded->sha256 != assignment.sha256)
        return fail("line " + line_ + ": " + name +
                    " is not the file the plant named (its SHA-256 differs)");
    // The version said is the one signed, never a column someone edited.
    const std::string signedVersion =
        prepared.decoded->signature ? prepared.decoded->signature->version : std::string();
    if (signedVersion != assignment.version)
        return fail(
            "line " + line_ + ": " + name + " is refused: the plant's database names it version " +
            (assignment.version.empty() ? "(none)" : assignment.version) +
            ", but its signature says " + (signedVersion.empty() ? "(none)" : signedVersion));
    return Following{assignment, prepared.decoded, file.string(), false};
}

Result<Following> AssignmentFetch::lastKept() const {
    const StateFolder folder(stateFolder_);
    const auto assignment = folder.keptAssignment();
    if (!assignment)
        return fail(std::string("none was ever fetched"));
    if (assignment->line != line_)
        return fail("the one kept is line " + assignment->line + "'s");
    return verified(*assignment, folder.releaseFile(assignment->sha256));
}

} // namespace j4::line
