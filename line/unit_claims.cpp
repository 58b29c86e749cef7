// A line follower's units: each claimed before its first frame (or ahead,
// while its slot waits), confirmed before its last, settled when it ends;
// made offline within the allowance while the database is away, and
// counted when it is back.

#include "line_follower.h"

#include "state_folder.h"

#include <algorithm>

namespace j4::line {

station::UnitPlan LineFollower::next(std::size_t slot) {
    const Telling telling(*this);
    station::UnitPlan plan;
    {
        const std::lock_guard lock(mutex_);
        if (const auto ahead = ahead_.find(slot); ahead != ahead_.end()) {
            plan.attempt = ahead->second;
            ahead_.erase(ahead);
            return claimedPlan(std::move(plan));
        }
    }
    plan.attempt = runs::newAttemptId();
    const auto database = this->database();
    if (!database)
        return offlinePlan(std::move(plan), database.error());
    settlePending(**database);
    return claimFor(std::move(plan), **database);
}

station::UnitPlan LineFollower::claimFor(station::UnitPlan plan, LineDatabase& database) {
    const auto verdict =
        database.claim(settings_.line, plan.attempt, settings_.station, settings_.claimSeconds);
    {
        const std::lock_guard lock(mutex_);
        if (!verdict && database_.get() == &database) // connected afresh for the next unit
            database_.reset();
        else if (verdict)
            done_ = verdict->done;
    }
    if (!verdict)
        return offlinePlan(std::move(plan), verdict.error());
    // The plant assigned the line anew: the next unit is the new
    // assignment's, the release fetched and checked first.
    if (verdict->assignment != 0)
        if (auto switched = switchTo(database, verdict->assignment); !switched) {
            if (verdict->kind == ClaimVerdict::Kind::Claimed)
                static_cast<void>(database.giveBack(plan.attempt));
            plan.refusal = switched.error() + ". Not updated.";
            return plan;
        }
    const std::lock_guard lock(mutex_);
    if (verdict->kind != ClaimVerdict::Kind::Claimed) {
        plan.refusal = refusal(*verdict);
        return plan;
    }
    return claimedPlan(std::move(plan));
}

// A unit claimed: its claim renewed while it is made, and confirmed
// before its last frame.
station::UnitPlan LineFollower::claimedPlan(station::UnitPlan plan) {
    claimed_.insert(plan.attempt);
    plan.confirm = [this, attempt = plan.attempt](const std::string& unit) {
        return confirm(attempt, unit);
    };
    return madeNow(std::move(plan));
}

// The unit made of the line's assignment as it is now.
station::UnitPlan LineFollower::madeNow(station::UnitPlan plan) const {
    plan.decoded = now_.decoded;
    plan.filePath = now_.filePath;
    plan.production = {settings_.line, now_.assignment.workOrder, now_.assignment.lot,
                       now_.assignment.partNumber};
    return plan;
}

station::UnitPlan LineFollower::offlinePlan(station::UnitPlan plan, const std::string& why) {
    const std::string unreachable = "The plant's database cannot be reached (" + why + ")";
    const std::lock_guard lock(mutex_);
    if (offlineMade_ >= settings_.offlineUnits) {
        plan.refusal = unreachable + ": the unit cannot be counted against work order " +
                       now_.assignment.workOrder + ". Not updated.";
        return plan;
    }
    ++offlineMade_;
    tell(unreachable + ": unit " + std::to_string(offlineMade_) + " of " +
         std::to_string(settings_.offlineUnits) + " made offline, counted when it is back.");
    offline_.insert(plan.attempt);
    return madeNow(std::move(plan));
}

std::string LineFollower::confirm(const std::string& attempt, const std::string& unit) {
    const Telling telling(*this);
    std::string order;
    {
        const std::lock_guard lock(mutex_);
        if (offline_.count(attempt) != 0)
            return {};
        order = now_.assignment.workOrder;
    }
    const auto database = this->database();
    const auto committed =
        database ? (*database)->commit(attempt, unit) : Result<bool>(fail(database.error()));
    if (!committed)
        return "The plant's database cannot be reached (" + committed.error() +
               "): the unit cannot be confirmed against work order " + order +
               ", and its last frame was kept back. Not updated.";
    if (!*committed)
        return "The claim on this unit of work order " + order +
               " expired while it was updated (another station may make it): its last frame was "
               "kept back. Not updated.";
    return {};
}

std::string LineFollower::refusal(const ClaimVerdict& verdict) const {
    const auto& a = now_.assignment;
    switch (verdict.kind) {
    case ClaimVerdict::Kind::Held:
        return "Line " + settings_.line + " is held: " + verdict.reason +
               ". Not updated. Plug the unit in again once the line goes on.";
    case ClaimVerdict::Kind::Complete:
        return "Work order " + a.workOrder + " is complete: " + std::to_string(verdict.done) +
               " of " + std::to_string(verdict.quantity) + " units";
    case ClaimVerdict::Kind::Full:
        return "Work order " + a.workOrder +
               ": its last units are being updated at other stations. Not updated.";
    case ClaimVerdict::Kind::Unassigned:
        return "Line " + settings_.line + " has no assignment. Not updated.";
    case ClaimVerdict::Kind::Claimed:
        break;
    }
    return {};
}

void LineFollower::ended(std::size_t slot, const runs::AttemptReport& report) {
    const Telling telling(*this);
    using Kind = PendingUnit::Kind;
    // A unit stopped from outside (a shift's end, a claim that could not be
    // confirmed) is no failure of the unit: its claim is given back.
    const bool cut =
        report.outcome == UpdateOutcome::Interrupted || report.outcome == UpdateOutcome::Withheld;
    {
        // Kept as pending before it leaves the units being made: settling
        // never finds an offline unit in neither.
        const std::lock_guard settling(settling_);
        std::lock_guard lock(mutex_);
        const bool offline = offline_.count(report.attempt) != 0;
        const long long assignment = now_.assignment.id;
        if (offline && !cut)
            pending_.push_back({Kind::Offline, report.attempt, report.completed(), assignment});
        else if (!offline)
            pending_.push_back(
                {cut ? Kind::GiveBack : Kind::Settle, report.attempt, report.completed(), 0});
        offline_.erase(report.attempt);
        claimed_.erase(report.attempt);
        keepPending();
    }
    if (const auto database = this->database()) {
        settlePending(**database);
        claimAhead(slot, **database);
    }
}

// The settling lock held.
void LineFollower::keepPending() {
    if (!StateFolder(settings_.stateFolder).keepPending(pending_))
        tell("The units not yet counted cannot be kept in " + settings_.stateFolder.string() +
             ": a stop now would lose them.");
}

void LineFollower::settlePending(LineDatabase& database) {
    using Kind = PendingUnit::Kind;
    const std::lock_guard settling(settling_);
    bool told = false;
    bool counted = false;
    while (!pending_.empty()) {
        const PendingUnit& unit = pending_.front();
        if (unit.kind == Kind::Offline) {
            if (!database.countOffline(unit.assignment, unit.attempt, settings_.station,
                                       unit.completed))
                break;
            counted = true;
        } else if (unit.kind == Kind::GiveBack) {
            if (!database.giveBack(unit.attempt))
                break;
        } else {
            const auto held = database.settle(unit.attempt, unit.completed);
            if (!held)
                break;
            if (!held->empty())
                sayHold(*held);
        }
        told = true;
        pending_.erase(pending_.begin());
        keepPending();
    }
    const bool offlineLeft = std::any_of(pending_.begin(), pending_.end(), [](const auto& unit) {
        return unit.kind == Kind::Offline;
    });
    {
        const std::lock_guard lock(mutex_);
        if (counted && !offlineLeft && offline_.empty()) {
            tell("The plant's database is back: the " + std::to_string(offlineMade_) +
                 " units made offline are counted.");
            offlineMade_ = 0;
        }
    }
    // The others' units count too: how far the work order is, as the plant
    // counts it now that ours are in.
    if (!told)
        return;
    if (const auto look = database.look(settings_.line, settings_.station)) {
        const std::lock_guard lock(mutex_);
        if (look->assignment == now_.assignment.id)
            done_ = look->done;
    }
}

Following LineFollower::following() const {
    const std::lock_guard lock(mutex_);
    return now_;
}

std::string LineFollower::describe() const {
    const std::lock_guard lock(mutex_);
    return describeNow();
}

std::string LineFollower::heldBecause() const {
    const std::lock_guard lock(mutex_);
    return heldBecause_;
}

std::string LineFollower::describeNow() const {
    const auto& a = now_.assignment;
    return "release " + (a.version.empty() ? a.sha256.substr(0, 12) : a.version) + ", work order " +
           a.workOrder + ", " + std::to_string(done_) + " of " + std::to_string(a.quantity) +
           " units";
}

} // namespace j4::line
