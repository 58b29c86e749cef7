#pragma once
// The plant's decisions in its database: the releases it may flash, what
// each line flashes (release, work order, lot, part number, quantity, when
// it stops itself) and which lines are held. Every change is one
// transaction; stations hear of it through the database's notifications.

#include "layout.h"
#include "pq_session.h"

#include <optional>
#include <string>
#include <vector>

namespace j4::plant {

struct Release {
    std::string sha256; // the file's, 64 lower-case hexadecimal digits
    std::vector<std::uint8_t> file;
    std::string signature; // the .minisig file's text, as it was
    std::string version;   // its trusted comment's version=, if any
    std::string keyId;
    std::string trustedComment;
};

// "stop after K failures in the last M attempts".
struct StopRule {
    int failures = 0;
    int window = 0;
    bool wholeLine = true; // else only the station whose attempts failed is held
};
// "K/M", or why not.
Result<StopRule> parseStopRule(const std::string& text);

struct Assignment {
    std::string line;
    std::string release; // a version or a SHA-256
    std::string workOrder;
    std::string lot;
    std::string partNumber;
    long long quantity = 0;
    // Not given: the line's rule is kept; a rule of 0 failures: none.
    std::optional<StopRule> stop;
};

enum class ReleaseAdded { Added, SignedAnew, AlreadyThere };

// A release as `release list` shows it.
struct ReleaseRow {
    std::string version;
    std::string sha256;
    std::string keyId;
    std::string addedBy;
    std::string added; // UTC, ISO 8601
};

// What an assignment made: its release, and the failure rule it has.
struct Assigned {
    std::string sha256;
    std::string version;
    std::optional<StopRule> stop;
};

struct LineStatus {
    std::string line;
    std::string version;
    std::string sha256;
    std::string workOrder;
    std::string lot;
    std::string partNumber;
    long long quantity = 0;
    long long done = 0; // units completed against it, once each
    std::optional<StopRule> stop;
    std::string assignedBy;
    std::string assigned;              // ISO 8601, UTC
    std::string heldBecause;           // empty: not held
    std::string refused;               // "station: reason; ..." of its stations that refuse it
    std::vector<std::string> stations; // stations that recorded on the line
};

// Why a request was not carried out: the plant's own refusal (an unknown
// release, a line with nothing to resume), or the database's.
struct PlantError {
    enum class Kind { Refused, Database } kind;
    std::string text;
};
template <typename T> using PlantResult = Result<T, PlantError>;

class PlantStore {
public:
    // Connected, with the plant's tables made where missing.
    static PlantResult<PlantStore> open(const std::string& url, const std::atomic<bool>* stop);
    // Connected within `bounds`, the layout taken as it is: for a server
    // that made it at its start.
    static PlantResult<PlantStore> connect(const std::string& url, const std::atomic<bool>* stop,
                                           db::Bounds bounds);

    // Added once: the same file again is the same release.
    PlantResult<ReleaseAdded> addRelease(const Release& release, const std::string& by);
    // Every release added, oldest first.
    PlantResult<std::vector<ReleaseRow>> releases();
    // The line's new active assignment, the earlier one kept as history;
    // the release's SHA-256.
    PlantResult<Assigned> assign(const Assignment& assignment, const std::string& by);
    // Every line with an active assignment, or the one named.
    PlantResult<std::vector<LineStatus>> status(const std::string& line);
    PlantResult<Done> hold(const std::string& line, const std::string& reason,
                           const std::string& by);
    // False when the line was not held.
    PlantResult<bool> resume(const std::string& line);
    // A unit's history as a JSON array, newest first: at most `most` attempts.
    PlantResult<std::string> unitHistory(const std::string& serial, int most);
    // Done when the plant knows `line` (assigned, or reported on); else
    // refused, naming the lines it knows.
    PlantResult<Done> knownLine(const std::string& line);

private:
    explicit PlantStore(std::unique_ptr<db::PqSession> session) : session_(std::move(session)) {}
    PlantResult<db::QueryResult> run(const std::string& sql,
                                     const std::vector<const char*>& values = {});
    PlantResult<std::string> releaseFor(const std::string& versionOrSha);

    std::unique_ptr<db::PqSession> session_;
};

} // namespace j4::plant
