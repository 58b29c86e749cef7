#pragma once
// A station that follows its line: the line's assignment and release
// fetched from the plant's database, checked with the station's own trusted
// keys (an assignment never bypasses them, and a signature is required),
// kept in the station's state folder, and switched between units when the
// plant assigns the line anew. Each unit is claimed before its first frame
// and its claim settled when its attempt ends.

#include "attempt.h"
#include "line_database.h"
#include "release_check.h"
#include "state_folder.h"
#include "unit_source.h"
#include "worker_thread.h"

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace j4::plant {

struct FollowSettings {
    std::string line;
    std::string url;     // the plant's database
    std::string station; // this station's name, in the claims
    release::ReleaseOptions release;
    std::filesystem::path stateFolder; // where the last verified assignment is kept
    // A claim is kept while its unit is being made, renewed every few
    // seconds: one whose station went away expires after this.
    int claimSeconds = 20;
    // Units made while the database is out of reach, counted when it is
    // back; then as many again.
    int offlineUnits = 0;
};

// What the line sends now, as the operator sees it.
struct Following {
    LineAssignment assignment;
    std::shared_ptr<const DecodedFile> decoded;
    std::string filePath; // the kept release
    bool offline = false; // the database was out of reach at start
};

class LineFollower final : public station::UnitSource {
public:
    // The line's assignment, fetched, checked and kept; the last one kept
    // when the database cannot be reached (said through `listener`); or why
    // the station cannot follow the line.
    static Result<std::unique_ptr<LineFollower>>
    start(FollowSettings settings, runs::DeviceListener& listener, const std::atomic<bool>& stop);

    station::UnitPlan next(std::size_t slot) override;
    void ended(std::size_t slot, const runs::AttemptReport& report) override;

    Following following() const;
    // "Line L: release V, work order WO, N of Q units"
    std::string describe() const;
    // Why the line (or this station) is held; empty: it is not.
    std::string heldBecause() const;

    LineFollower(FollowSettings settings, runs::DeviceListener& listener,
                 const std::atomic<bool>& stop);
    ~LineFollower() override;

private:
    Result<Done> connect();
    Result<Following> fetch(LineDatabase& database, long long assignment);
    // Hears the plant change the line while the slots work, and takes the
    // change at once: the new release fetched and checked before the next
    // unit, a hold said by every station.
    void watch();
    // False when the database did not answer: the watch connects anew.
    bool refresh(LineDatabase& database);
    bool renew(LineDatabase& database);
    void sayHold(const std::string& reason);
    // The plant told what this station refuses of its line (empty: nothing).
    void tellRefusal(LineDatabase& database, long long assignment, const std::string& reason);
    std::string refusalTold_;
    Result<Following> verified(const LineAssignment& assignment, const std::filesystem::path& file);
    Result<Following> lastKept();
    // The units' ends the database has not heard of, told to it in order
    // until one cannot be; the rest kept on disk.
    void settlePending(LineDatabase& database);
    void keepPending();
    // The unit's claim made lasting before its last frame: empty, or why
    // the unit may not be completed.
    std::string confirm(const std::string& attempt, const std::string& unit);
    std::string refusal(const ClaimVerdict& verdict) const;
    std::string describeNow() const; // the mutex held

    FollowSettings settings_;
    runs::DeviceListener& listener_;
    const std::atomic<bool>& stop_;
    // Recursive: a listener told of a change may ask what the line sends.
    mutable std::recursive_mutex mutex_;
    std::unique_ptr<LineDatabase> database_;
    Following now_;
    long long done_ = 0;
    std::string heldBecause_;       // as last said
    std::set<std::string> claimed_; // units being made, their claims renewed
    // Each slot's next unit, claimed ahead while the slot waits for its
    // device (where the work order has units to spare), so that a device
    // plugged in waits for no database; given back when the plant changes
    // the line. Renewed as the others.
    std::map<std::size_t, std::string> ahead_;
    // Units being made without the database.
    std::set<std::string> offline_;
    // Units ended whose ends the database has not heard of yet, in order,
    // also in the state folder: those made offline count against the
    // allowance until they are counted, across a restart too.
    std::vector<PendingUnit> pending_;
    int offlineMade_ = 0;
    station::UnitPlan offlinePlan(station::UnitPlan plan, const std::string& why);
    station::UnitPlan madeNow(station::UnitPlan plan) const;
    void claimAhead(std::size_t slot);
    void giveBackAhead();
    station::UnitPlan claimedPlan(station::UnitPlan plan);
    std::atomic<bool> ending_{false};
    WorkerThread watcher_; // last: stopped first
};

// A follower as a station's unit source that is told after each unit's
// end, once its claim is settled: what the line sends has changed.
class UnitsTold final : public station::UnitSource {
public:
    UnitsTold(LineFollower& follower, std::function<void()> told)
        : follower_(follower), told_(std::move(told)) {}
    station::UnitPlan next(std::size_t slot) override { return follower_.next(slot); }
    void ended(std::size_t slot, const runs::AttemptReport& report) override {
        follower_.ended(slot, report);
        told_();
    }

private:
    LineFollower& follower_;
    std::function<void()> told_;
};

// Where a station of `line` keeps its last verified assignment: the
// service's state folder (systemd's StateDirectory=), else the user's.
std::filesystem::path lineStateFolder(const std::string& line);

// Every hold of `line` lifted, as `j4_plant resume` does: false when it
// was not held.
Result<bool> resumeLine(const std::string& url, const std::string& line,
                        const std::atomic<bool>& stop);

} // namespace j4::plant
