#include "line_follower.h"

#include "bounds.h"
#include "state_folder.h"
#include "stoppable_wait.h"

#include <algorithm>

namespace j4::line {
namespace {

namespace fs = std::filesystem;

// Units a claim made ahead leaves for the other stations: never the last
// ones, which go to whoever has a device first.
constexpr int kSpareForOthers = 20;

} // namespace

LineFollower::Telling::~Telling() {
    const std::lock_guard order(follower_.telling_);
    std::vector<std::string> notices;
    {
        const std::lock_guard lock(follower_.noticesMutex_);
        notices.swap(follower_.notices_);
    }
    for (const std::string& notice : notices)
        follower_.listener_.notice(notice);
}

LineFollower::LineFollower(FollowSettings settings, runs::DeviceListener& listener,
                           const std::atomic<bool>& stop)
    : settings_(std::move(settings)), listener_(listener), stop_(stop),
      fetch_(settings_.line, settings_.stateFolder, settings_.release) {}

Result<std::unique_ptr<LineFollower>> LineFollower::start(FollowSettings settings,
                                                          runs::DeviceListener& listener,
                                                          const std::atomic<bool>& stop) {
    auto follower = std::make_unique<LineFollower>(std::move(settings), listener, stop);
    if (auto begun = follower->begin(); !begun)
        return fail(begun.error());
    LineFollower* self = follower.get();
    follower->watcher_ = WorkerThread([self] { self->watch(); });
    return follower;
}

// The assignment followed from the start: the database's, else the last
// one kept; what a previous run left uncounted counted first.
Result<Done> LineFollower::begin() {
    const Telling telling(*this);
    const std::string& line = settings_.line;
    std::error_code error;
    fs::create_directories(settings_.stateFolder, error);
    if (error)
        return fail(settings_.stateFolder.string() + ": the line's state folder cannot be made (" +
                    error.message() + ")");
    pending_ = StateFolder(settings_.stateFolder).keptPending();
    offlineMade_ = static_cast<int>(
        std::count_if(pending_.begin(), pending_.end(), [](const PendingUnit& unit) {
            return unit.kind == PendingUnit::Kind::Offline;
        }));
    const auto database = this->database();
    if (!database) {
        auto kept = fetch_.lastKept();
        if (!kept)
            return fail("line " + line + ": the plant's database cannot be reached (" +
                        database.error() + "), and no verified assignment is kept (" +
                        kept.error() + ")");
        kept->offline = true;
        now_ = std::move(*kept);
        // Watched all the same: the line is heard, and what waits counted,
        // as soon as the database is back.
        tell("The plant's database cannot be reached (" + database.error() + "): line " + line +
             " keeps its last verified assignment, " + describe() + ".");
        return Done{};
    }
    const auto active = (*database)->look(line, settings_.station);
    if (!active)
        return fail("line " + line + ": " + active.error());
    if (active->assignment == 0)
        return fail("line " + line +
                    " has no assignment in the plant's database: give it one with j4_plant assign");
    auto fetched = fetch_.fetch(**database, active->assignment);
    refusalTold_ = "?"; // whatever an earlier run told
    tellRefusal(**database, active->assignment, fetched ? std::string() : fetched.error());
    if (!fetched)
        return fail(fetched.error());
    now_ = std::move(*fetched);
    done_ = active->done;
    if (active->kind == ClaimVerdict::Kind::Held)
        sayHold(active->reason);
    settlePending(**database);
    return Done{};
}

LineFollower::~LineFollower() {
    ending_ = true;
    watcher_.wait();
    std::shared_ptr<LineDatabase> database;
    std::vector<std::string> ahead;
    {
        const std::lock_guard lock(mutex_);
        database = database_;
        ahead = takeAhead();
    }
    giveBack(database.get(), std::move(ahead));
}

Result<std::shared_ptr<LineDatabase>> LineFollower::database() {
    {
        const std::lock_guard lock(mutex_);
        if (database_)
            return database_;
    }
    auto opened = LineDatabase::open(settings_.url, &stop_);
    if (!opened)
        return fail(opened.error());
    const std::lock_guard lock(mutex_);
    if (!database_) // another slot may have connected meanwhile
        database_ = std::move(*opened);
    return database_;
}

void LineFollower::tell(std::string notice) {
    const std::lock_guard lock(noticesMutex_);
    notices_.push_back(std::move(notice));
}

std::vector<std::string> LineFollower::takeAhead() {
    std::vector<std::string> attempts;
    for (const auto& [slot, attempt] : ahead_)
        attempts.push_back(attempt);
    ahead_.clear();
    return attempts;
}

void LineFollower::giveBack(LineDatabase* database, std::vector<std::string> attempts) {
    if (database != nullptr)
        for (const std::string& attempt : attempts)
            static_cast<void>(database->giveBack(attempt));
}

void LineFollower::claimAhead(std::size_t slot, LineDatabase& database) {
    long long assignment = 0;
    {
        const std::lock_guard lock(mutex_);
        if (!heldBecause_.empty() || ahead_.count(slot) != 0)
            return;
        assignment = now_.assignment.id;
    }
    const std::string attempt = runs::newAttemptId();
    const auto verdict = database.claim(settings_.line, attempt, settings_.station,
                                        settings_.claimSeconds, kSpareForOthers);
    if (!verdict || verdict->kind != ClaimVerdict::Kind::Claimed)
        return;
    {
        // The line may have changed or been held while the claim was made.
        const std::lock_guard lock(mutex_);
        if (verdict->assignment == now_.assignment.id && verdict->assignment == assignment &&
            heldBecause_.empty() && ahead_.count(slot) == 0) {
            ahead_[slot] = attempt;
            return;
        }
    }
    static_cast<void>(database.giveBack(attempt));
}

void LineFollower::tellRefusal(LineDatabase& database, long long assignment,
                               const std::string& reason) {
    if (reason != refusalTold_ &&
        database.sayRefusal(settings_.station, settings_.line, assignment, reason))
        refusalTold_ = reason;
}

void LineFollower::sayHold(const std::string& reason) {
    std::shared_ptr<LineDatabase> database;
    std::vector<std::string> ahead;
    {
        const std::lock_guard lock(mutex_);
        if (reason == heldBecause_)
            return;
        heldBecause_ = reason;
        if (!reason.empty()) {
            database = database_;
            ahead = takeAhead();
        }
    }
    giveBack(database.get(), std::move(ahead));
    tell(reason.empty() ? "Line " + settings_.line + " goes on."
                        : "Line " + settings_.line + " is held: " + reason + ".");
}

Result<Done> LineFollower::switchTo(LineDatabase& database, long long id) {
    const std::lock_guard switching(switching_);
    {
        const std::lock_guard lock(mutex_);
        if (now_.assignment.id == id) // another slot, or the watch, took it meanwhile
            return Done{};
    }
    auto fetched = fetch_.fetch(database, id);
    tellRefusal(database, id, fetched ? std::string() : fetched.error());
    if (!fetched)
        return fail(fetched.error());
    const std::lock_guard lock(mutex_);
    now_ = std::move(*fetched);
    tell("Line " + settings_.line + " now sends " + describeNow() + ".");
    return Done{};
}

void LineFollower::watch() {
    std::unique_ptr<LineDatabase> database;
    const auto every = std::chrono::seconds(5);
    auto renewed = std::chrono::steady_clock::now();
    auto looked = renewed;
    while (!stop_ && !ending_) {
        const Telling telling(*this);
        if (!database) {
            auto opened = LineDatabase::open(settings_.url, &ending_);
            if (!opened) {
                // Tried again in a while; the slots meanwhile claim as ever.
                waitUnlessStopped(db::kReconnectAfter, {&stop_, &ending_});
                continue;
            }
            database = std::move(*opened);
            // Changes made while the line was not listened to were not
            // heard: looked at at once.
            looked = std::chrono::steady_clock::now() - every;
        }
        if (std::chrono::steady_clock::now() - renewed > every) {
            if (!renew(*database)) {
                database.reset(); // both its connections made anew
                continue;
            }
            renewed = std::chrono::steady_clock::now();
        }
        const auto changed =
            database->waitForChange(settings_.line, std::chrono::milliseconds(500));
        // Looked at every few seconds as well: a notification sent while
        // the watch was connecting anew is not heard.
        const bool due = changed && (*changed || std::chrono::steady_clock::now() - looked > every);
        if (!changed || (due && !refresh(*database))) {
            database.reset();
            continue;
        }
        if (due)
            looked = std::chrono::steady_clock::now();
    }
}

bool LineFollower::renew(LineDatabase& database) {
    // Units that ended while the database was away are told now.
    settlePending(database);
    std::vector<std::string> claims;
    {
        const std::lock_guard lock(mutex_);
        claims.assign(claimed_.begin(), claimed_.end());
        for (const auto& [slot, attempt] : ahead_)
            claims.push_back(attempt);
    }
    return claims.empty() || database.renew(claims, settings_.claimSeconds);
}

bool LineFollower::refresh(LineDatabase& database) {
    const auto look = database.look(settings_.line, settings_.station);
    if (!look)
        return false;
    bool changed = false;
    std::vector<std::string> ahead;
    {
        const std::lock_guard lock(mutex_);
        // Looked at before a unit of ours was counted, it may be behind: an
        // assignment's units done never go down.
        done_ = look->assignment == now_.assignment.id ? std::max(done_, look->done) : look->done;
        changed = look->assignment != 0 && look->assignment != now_.assignment.id;
        // What was claimed ahead was claimed for the line as it was.
        if (changed)
            ahead = takeAhead();
    }
    if (changed) {
        giveBack(&database, std::move(ahead));
        if (auto switched = switchTo(database, look->assignment); !switched)
            tell(switched.error() + ".");
    }
    sayHold(look->kind == ClaimVerdict::Kind::Held ? look->reason : std::string());
    return true;
}

} // namespace j4::line
