#include "line_follower.h"

#include "state_folder.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <algorithm>

namespace j4::plant {
namespace {

namespace fs = std::filesystem;

// Units a claim made ahead leaves for the other stations: never the last
// ones, which go to whoever has a device first.
constexpr int kSpareForOthers = 20;

} // namespace

LineFollower::LineFollower(FollowSettings settings, runs::DeviceListener& listener,
                           const std::atomic<bool>& stop)
    : settings_(std::move(settings)), listener_(listener), stop_(stop) {
    // A line station sends only what a trusted key signed.
    settings_.release.requireSignature = true;
}

Result<std::unique_ptr<LineFollower>> LineFollower::start(FollowSettings settings,
                                                          runs::DeviceListener& listener,
                                                          const std::atomic<bool>& stop) {
    auto follower = std::make_unique<LineFollower>(std::move(settings), listener, stop);
    std::error_code error;
    fs::create_directories(follower->settings_.stateFolder, error);
    if (error)
        return fail(follower->settings_.stateFolder.string() +
                    ": the line's state folder cannot "
                    "be made (" +
                    error.message() + ")");
    const std::string line = follower->settings_.line;
    LineFollower* self = follower.get();
    const std::lock_guard lock(follower->mutex_);
    follower->pending_ = StateFolder(follower->settings_.stateFolder).keptPending();
    follower->offlineMade_ = static_cast<int>(std::count_if(
        follower->pending_.begin(), follower->pending_.end(),
        [](const PendingUnit& unit) { return unit.kind == PendingUnit::Kind::Offline; }));
    if (const auto connected = follower->connect(); !connected) {
        auto kept = follower->lastKept();
        if (!kept)
            return fail("line " + line + ": the plant's database cannot be reached (" +
                        connected.error() + "), and no verified assignment is kept (" +
                        kept.error() + ")");
        kept->offline = true;
        follower->now_ = std::move(*kept);
        listener.notice("The plant's database cannot be reached (" + connected.error() +
                        "): line " + line + " keeps its last verified assignment, " +
                        follower->describe() + ".");
        // Watched all the same: the line is heard, and what waits counted,
        // as soon as the database is back.
        follower->watcher_ = WorkerThread([self] { self->watch(); });
        return follower;
    }
    auto active = follower->database_->look(line, follower->settings_.station);
    if (!active)
        return fail("line " + line + ": " + active.error());
    if (active->assignment == 0)
        return fail("line " + line +
                    " has no assignment in the plant's database: give it one "
                    "with j4_plant assign");
    auto fetched = follower->fetch(*follower->database_, active->assignment);
    follower->refusalTold_ = "?"; // whatever an earlier run told
    follower->tellRefusal(*follower->database_, active->assignment,
                          fetched ? std::string() : fetched.error());
    if (!fetched)
        return fail(fetched.error());
    follower->now_ = std::move(*fetched);
    follower->done_ = active->done;
    if (active->kind == ClaimVerdict::Kind::Held)
        follower->sayHold(active->reason);
    // What a previous run left uncounted is counted first.
    follower->settlePending(*follower->database_);
    follower->watcher_ = WorkerThread([self] { self->watch(); });
    return follower;
}

Result<Done> LineFollower::connect() {
    if (database_)
        return Done{};
    auto opened = LineDatabase::open(settings_.url, &stop_);
    if (!opened)
        return fail(opened.error());
    database_ = std::move(*opened);
    return Done{};
}

LineFollower::~LineFollower() {
    ending_ = true;
    watcher_.wait();
    const std::lock_guard lock(mutex_);
    giveBackAhead();
}

void LineFollower::giveBackAhead() {
    for (const auto& [slot, attempt] : ahead_)
        if (database_)
            static_cast<void>(database_->giveBack(attempt));
    ahead_.clear();
}

void LineFollower::claimAhead(std::size_t slot) {
    if (!database_ || !heldBecause_.empty() || ahead_.count(slot) != 0)
        return;
    const std::string attempt = runs::newAttemptId();
    const auto verdict = database_->claim(settings_.line, attempt, settings_.station,
                                          settings_.claimSeconds, kSpareForOthers);
    if (!verdict || verdict->kind != ClaimVerdict::Kind::Claimed)
        return;
    if (verdict->assignment != now_.assignment.id) {
        static_cast<void>(database_->giveBack(attempt));
        return;
    }
    ahead_[slot] = attempt;
}

void LineFollower::tellRefusal(LineDatabase& database, long long assignment,
                               const std::string& reason) {
    if (reason != refusalTold_ &&
        database.sayRefusal(settings_.station, settings_.line, assignment, reason))
        refusalTold_ = reason;
}

void LineFollower::sayHold(const std::string& reason) {
    if (reason == heldBecause_)
        return;
    heldBecause_ = reason;
    if (!reason.empty())
        giveBackAhead();
    listener_.notice(reason.empty() ? "Line " + settings_.line + " goes on."
                                    : "Line " + settings_.line + " is held: " + reason + ".");
}

void LineFollower::watch() {
    std::unique_ptr<LineDatabase> database;
    const auto every = std::chrono::seconds(5);
    auto renewed = std::chrono::steady_clock::now();
    auto looked = renewed;
    while (!stop_ && !ending_) {
        if (!database) {
            auto opened = LineDatabase::open(settings_.url, &ending_);
            if (!opened) {
                // Tried again in a while; the slots meanwhile claim as ever.
                for (int step = 0; step < 50 && !stop_ && !ending_; ++step)
                    QThread::msleep(100);
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
        if (!changed || ((*changed || std::chrono::steady_clock::now() - looked > every) &&
                         !refresh(*database))) {
            database.reset();
            continue;
        }
        if (*changed || std::chrono::steady_clock::now() - looked > every)
            looked = std::chrono::steady_clock::now();
    }
}

bool LineFollower::renew(LineDatabase& database) {
    std::vector<std::string> claims;
    {
        const std::lock_guard lock(mutex_);
        // Units that ended while the database was away are told now.
        if (!pending_.empty())
            settlePending(database);
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
    const std::lock_guard lock(mutex_);
    // Looked at before a unit of ours was counted, it may be behind: an
    // assignment's units done never go down.
    done_ = look->assignment == now_.assignment.id ? std::max(done_, look->done) : look->done;
    if (look->assignment != 0 && look->assignment != now_.assignment.id) {
        // What was claimed ahead was claimed for the line as it was.
        giveBackAhead();
        auto fetched = fetch(database, look->assignment);
        tellRefusal(database, look->assignment, fetched ? std::string() : fetched.error());
        if (!fetched) {
            listener_.notice(fetched.error() + ".");
        } else {
            now_ = std::move(*fetched);
            listener_.notice("Line " + settings_.line + " now sends " + describeNow() + ".");
        }
    }
    sayHold(look->kind == ClaimVerdict::Kind::Held ? look->reason : std::string());
    return true;
}

Result<Following> LineFollower::fetch(LineDatabase& database, long long id) {
    auto assignment = database.assignment(id);
    if (!assignment)
        return fail("line " + settings_.line + ": " + assignment.error());
    const StateFolder folder(settings_.stateFolder);
    const auto file = folder.releaseFile(assignment->sha256);
    const auto kept = [&]() -> Result<Done> {
        auto release = database.release(assignment->sha256);
        if (!release)
            return fail("line " + settings_.line + ": " + release.error());
        if (!folder.keepRelease(assignment->sha256, release->file, release->signature))
            return fail("line " + settings_.line + ": its release cannot be kept in " +
                        folder.path().string());
        return Done{};
    };
    const bool fetched = !fs::exists(file);
    if (fetched)
        if (auto done = kept(); !done)
            return fail(done.error());
    auto following = verified(*assignment, file);
    // The copy kept from before may be signed by a key since retired: the
    // plant's own copy (signed anew) is what counts.
    if (!following && !fetched)
        if (auto done = kept(); done)
            following = verified(*assignment, file);
    // Kept last, once checked: what a station falls back on was verified.
    if (following)
        folder.keepAssignment(*assignment);
    return following;
}

Result<Following> LineFollower::verified(const LineAssignment& assignment, const fs::path& file) {
    release::ReleaseOptions options = settings_.release;
    options.signatureFile = StateFolder::signatureOf(file).string();
    const PreparedFile prepared =
        release::prepareReleased(options, file.string(), UpdateFileReader::Kinds::RegularOnly);
    const std::string name =
        "release " + (assignment.version.empty() ? assignment.sha256 : assignment.version);
    if (!prepared.ok()) {
        std::error_code ignored;
        fs::remove(file, ignored); // fetched again next time, perhaps signed anew
        return fail("line " + settings_.line + ": " + name + " is refused: " + prepared.text +
                    (prepared.detail.empty() ? "" : " " + prepared.detail));
    }
    if (prepared.decoded->sha256 != assignment.sha256)
        return fail("line " + settings_.line + ": " + name +
                    " is not the file the plant named (its SHA-256 differs)");
    // The version said is the one signed, never a column someone edited.
    const std::string signedVersion =
        prepared.decoded->signature ? prepared.decoded->signature->version : std::string();
    if (signedVersion != assignment.version)
        return fail("line " + settings_.line + ": " + name +
                    " is refused: the plant's database names it version " +
                    (assignment.version.empty() ? "(none)" : assignment.version) +
                    ", but its signature says " +
                    (signedVersion.empty() ? "(none)" : signedVersion));
    return Following{assignment, prepared.decoded, file.string(), false};
}

Result<Following> LineFollower::lastKept() {
    const StateFolder folder(settings_.stateFolder);
    const auto assignment = folder.keptAssignment();
    if (!assignment)
        return fail(std::string("none was ever fetched"));
    if (assignment->line != settings_.line)
        return fail("the one kept is line " + assignment->line + "'s");
    return verified(*assignment, folder.releaseFile(assignment->sha256));
}

void LineFollower::keepPending() {
    if (!StateFolder(settings_.stateFolder).keepPending(pending_))
        listener_.notice("The units not yet counted cannot be kept in " +
                         settings_.stateFolder.string() + ": a stop now would lose them.");
}

void LineFollower::settlePending(LineDatabase& database) {
    using Kind = PendingUnit::Kind;
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
    if (counted && !offlineLeft && offline_.empty()) {
        listener_.notice("The plant's database is back: the " + std::to_string(offlineMade_) +
                         " units made offline are counted.");
        offlineMade_ = 0;
    }
    // The others' units count too: how far the work order is, as the plant
    // counts it now that ours are in.
    if (told)
        if (const auto look = database.look(settings_.line, settings_.station);
            look && look->assignment == now_.assignment.id)
            done_ = look->done;
}

std::string LineFollower::confirm(const std::string& attempt, const std::string& unit) {
    const std::lock_guard lock(mutex_);
    if (offline_.count(attempt) != 0)
        return {};
    const std::string& order = now_.assignment.workOrder;
    auto connected = connect();
    const auto committed =
        connected ? database_->commit(attempt, unit) : Result<bool>(fail(connected.error()));
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
               ": its last units are being updated at other "
               "stations. Not updated.";
    case ClaimVerdict::Kind::Unassigned:
        return "Line " + settings_.line + " has no assignment. Not updated.";
    case ClaimVerdict::Kind::Claimed:
        break;
    }
    return {};
}

station::UnitPlan LineFollower::next(std::size_t slot) {
    const std::lock_guard lock(mutex_);
    station::UnitPlan plan;
    if (const auto ahead = ahead_.find(slot); ahead != ahead_.end()) {
        plan.attempt = ahead->second;
        ahead_.erase(ahead);
        return claimedPlan(std::move(plan));
    }
    plan.attempt = runs::newAttemptId();
    if (const auto connected = connect(); !connected)
        return offlinePlan(std::move(plan), connected.error());
    settlePending(*database_);
    const auto verdict =
        database_->claim(settings_.line, plan.attempt, settings_.station, settings_.claimSeconds);
    if (!verdict) {
        database_.reset(); // connected afresh for the next unit
        return offlinePlan(std::move(plan), verdict.error());
    }
    done_ = verdict->done;
    // The plant assigned the line anew: the next unit is the new
    // assignment's, the release fetched and checked first.
    if (verdict->assignment != 0 && verdict->assignment != now_.assignment.id) {
        auto fetched = fetch(*database_, verdict->assignment);
        tellRefusal(*database_, verdict->assignment, fetched ? std::string() : fetched.error());
        if (!fetched) {
            if (verdict->kind == ClaimVerdict::Kind::Claimed)
                static_cast<void>(database_->giveBack(plan.attempt));
            plan.refusal = fetched.error() + ". Not updated.";
            return plan;
        }
        now_ = std::move(*fetched);
        listener_.notice("Line " + settings_.line + " now sends " + describeNow() + ".");
    }
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
    if (offlineMade_ >= settings_.offlineUnits) {
        plan.refusal = unreachable + ": the unit cannot be counted against work order " +
                       now_.assignment.workOrder + ". Not updated.";
        return plan;
    }
    ++offlineMade_;
    listener_.notice(unreachable + ": unit " + std::to_string(offlineMade_) + " of " +
                     std::to_string(settings_.offlineUnits) +
                     " made offline, counted when it is back.");
    offline_.insert(plan.attempt);
    return madeNow(std::move(plan));
}

void LineFollower::ended(std::size_t slot, const runs::AttemptReport& report) {
    const std::lock_guard lock(mutex_);
    using Kind = PendingUnit::Kind;
    // A unit stopped from outside (a shift's end, a claim that could not be
    // confirmed) is no failure of the unit: its claim is given back.
    const bool cut =
        report.outcome == UpdateOutcome::Interrupted || report.outcome == UpdateOutcome::Withheld;
    if (offline_.erase(report.attempt) != 0) {
        if (!cut)
            pending_.push_back(
                {Kind::Offline, report.attempt, report.completed(), now_.assignment.id});
    } else {
        claimed_.erase(report.attempt);
        pending_.push_back(
            {cut ? Kind::GiveBack : Kind::Settle, report.attempt, report.completed(), 0});
    }
    keepPending();
    if (connect())
        settlePending(*database_);
    claimAhead(slot);
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

std::filesystem::path lineStateFolder(const std::string& line) {
    QString folder = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (folder.isEmpty()) {
        const QString state = qEnvironmentVariable("XDG_STATE_HOME");
        folder = (state.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/state") : state) +
                 QStringLiteral("/j4-updater");
    }
    return std::filesystem::path(QFile::encodeName(folder).toStdString()) / ("line-" + line);
}

Result<bool> resumeLine(const std::string& url, const std::string& line,
                        const std::atomic<bool>& stop) {
    auto database = LineDatabase::open(url, &stop);
    if (!database)
        return fail(database.error());
    return (*database)->resume(line);
}

std::string LineFollower::describeNow() const {
    const auto& a = now_.assignment;
    return "release " + (a.version.empty() ? a.sha256.substr(0, 12) : a.version) + ", work order " +
           a.workOrder + ", " + std::to_string(done_) + " of " + std::to_string(a.quantity) +
           " units";
}

} // namespace j4::plant
