#pragma once
// What a station that follows its line asks the plant's database: a claim on
// the line's next unit (with the line's assignment, its hold, how far its
// work order is), the claim's end, the assignment and its release. Every
// wait is bounded and gives way to a stop.

#include "result.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace j4::line {

struct LineAssignment {
    long long id = 0;
    std::string line;
    std::string sha256; // the release's file
    std::string version;
    std::string workOrder;
    std::string lot;
    std::string partNumber;
    long long quantity = 0;
};

struct ClaimVerdict {
    enum class Kind {
        Claimed,    // the unit is the station's to make
        Held,       // the line (or this station) is held: `reason`
        Complete,   // every unit of the work order is done
        Full,       // the units left are claimed by stations still at work
        Unassigned, // the line has no assignment
    } kind = Kind::Unassigned;
    long long assignment = 0; // the line's active assignment
    long long done = 0;       // units completed against it
    long long quantity = 0;
    std::string reason; // the hold's, when held
};

struct LineRelease {
    std::vector<std::uint8_t> file;
    std::string signature; // the .minisig file's text
};

class LineDatabase {
public:
    static Result<std::unique_ptr<LineDatabase>> open(const std::string& url,
                                                      const std::atomic<bool>* stop);
    virtual ~LineDatabase() = default;

    // Claims the line's next unit for `attempt` (a UUID), for `seconds`
    // unless settled first.
    // `spare`: claimed only where that many units are left for the others
    // besides (a claim made ahead); Full otherwise.
    virtual Result<ClaimVerdict> claim(const std::string& line, const std::string& attempt,
                                       const std::string& station, int seconds, int spare = 0) = 0;
    // The line's active assignment, how far it is and whether it is held
    // (for `station`, or as a whole), nothing claimed: Claimed or Held,
    // Unassigned without one.
    virtual Result<ClaimVerdict> look(const std::string& line, const std::string& station) = 0;
    // Waits up to `wait` for the plant to change `line` (its assignment or
    // its hold): true when it did. Its own connection, listening from the
    // first call: a station hears of a change while its slots work.
    virtual Result<bool> waitForChange(const std::string& line, std::chrono::milliseconds wait) = 0;
    // The claims of units still being made kept for `seconds` more; one
    // that expired meanwhile stays expired.
    virtual Result<Done> renew(const std::vector<std::string>& attempts, int seconds) = 0;
    // A unit made while the database was out of reach, counted now against
    // the assignment it was made for.
    virtual Result<Done> countOffline(long long assignment, const std::string& attempt,
                                      const std::string& station, bool completed) = 0;
    // A claim given back unused, or by a unit stopped from outside: it
    // counts neither as a unit nor a failure.
    virtual Result<Done> giveBack(const std::string& attempt) = 0;
    // Right before the unit's last frame: its claim made lasting, or false
    // when it expired meanwhile (the unit may be another station's now).
    // `unit`: its serial, where scanned (a unit made twice counts once).
    virtual Result<bool> commit(const std::string& attempt, const std::string& unit) = 0;
    // The claim's end; the reason of the hold it tripped, or empty.
    virtual Result<std::string> settle(const std::string& attempt, bool completed) = 0;
    // Every hold of the line lifted, the station's own ones too: false when
    // there was none.
    virtual Result<bool> resume(const std::string& line) = 0;
    // What `station` refuses of the line's assignment, said to the plant;
    // an empty reason: it follows the line again.
    virtual Result<Done> sayRefusal(const std::string& station, const std::string& line,
                                    long long assignment, const std::string& reason) = 0;
    virtual Result<LineAssignment> assignment(long long id) = 0;
    virtual Result<LineRelease> release(const std::string& sha256) = 0;
};

// What the plant's PostgreSQL module gives, loaded the first time a station
// follows a line.
struct LineDatabaseModule {
    Result<std::unique_ptr<LineDatabase>> (*open)(const std::string& url,
                                                  const std::atomic<bool>* stop);
};

// Every hold of `line` lifted, as `j4_plant resume` does: false when it
// was not held.
Result<bool> resumeLine(const std::string& url, const std::string& line,
                        const std::atomic<bool>& stop);

} // namespace j4::line
