#pragma once
// A station that follows its line: the line's assignment and release
// fetched and checked (assignment_fetch.h), switched between units when the
// plant assigns the line anew. Each unit is claimed before its first frame
// and its claim settled when its attempt ends.

#include "assignment_fetch.h"
#include "attempt.h"
#include "line_database.h"
#include "state_folder.h"
#include "unit_source.h"
#include "worker_thread.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace j4::line {

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
    // Says what was told during a call from outside once the call holds no
    // lock (a listener may ask what the line sends); one caller's notices
    // at a time, in order.
    class Telling {
    public:
        explicit Telling(LineFollower& follower) : follower_(follower) {}
        ~Telling();
        Telling(const Telling&) = delete;
        Telling& operator=(const Telling&) = delete;

    private:
        LineFollower& follower_;
    };
    Result<Done> begin();
    // The slots' connection, made when there is none; null and why not
    // when the database cannot be reached.
    Result<std::shared_ptr<LineDatabase>> database();
    // Hears the plant change the line while the slots work, and takes the
    // change at once: the new release fetched and checked before the next
    // unit, a hold said by every station.
    void watch();
    // False when the database did not answer: the watch connects anew.
    bool refresh(LineDatabase& database);
    bool renew(LineDatabase& database);
    // The line's assignment `id` taken for the next units, fetched and
    // checked first: once, whichever slot or watch asks.
    Result<Done> switchTo(LineDatabase& database, long long id);
    void sayHold(const std::string& reason);
    // The plant told what this station refuses of its line (empty: nothing).
    void tellRefusal(LineDatabase& database, long long assignment, const std::string& reason);
    // The units' ends the database has not heard of, told to it in order
    // until one cannot be; the rest kept on disk.
    void settlePending(LineDatabase& database);
    void keepPending();
    // The unit's claim made lasting before its last frame: empty, or why
    // the unit may not be completed.
    std::string confirm(const std::string& attempt, const std::string& unit);
    std::string refusal(const ClaimVerdict& verdict) const;
    station::UnitPlan claimFor(station::UnitPlan plan, LineDatabase& database);
    station::UnitPlan offlinePlan(station::UnitPlan plan, const std::string& why);
    void claimAhead(std::size_t slot, LineDatabase& database);
    void giveBack(LineDatabase* database, std::vector<std::string> attempts);
    // Said to the listener once no lock is held (Telling, at the end of
    // each call from outside).
    void tell(std::string notice);

    FollowSettings settings_;
    runs::DeviceListener& listener_;
    const std::atomic<bool>& stop_;
    const AssignmentFetch fetch_;

    // The state: held only to read or change what follows, never across a
    // database call, a release's check or a notice.
    mutable std::mutex mutex_;
    std::shared_ptr<LineDatabase> database_;
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
    int offlineMade_ = 0;
    station::UnitPlan madeNow(station::UnitPlan plan) const; // the state held
    station::UnitPlan claimedPlan(station::UnitPlan plan);   // the state held
    std::vector<std::string> takeAhead();                    // the state held
    std::string describeNow() const;                         // the state held

    // Units ended whose ends the database has not heard of yet, in order,
    // also in the state folder: those made offline count against the
    // allowance until they are counted, across a restart too. Told by one
    // caller at a time, in order.
    std::mutex settling_;
    std::vector<PendingUnit> pending_;
    // One new assignment fetched at a time.
    std::mutex switching_;
    std::string refusalTold_;
    // Notices waiting to be said, and their order kept across callers.
    std::mutex noticesMutex_;
    std::vector<std::string> notices_;
    std::mutex telling_;

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

} // namespace j4::line
