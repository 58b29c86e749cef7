#include "line_follower.h"

#include "state_folder.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <QUuid>

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
    if (!fetched)
        return fail(fetched.error());
    follower->now_ = std::move(*fetched);
    follower->done_ = active->done;
    if (active->kind == ClaimVerdict::Kind::Held)
        follower->sayHold(active->reason);
    LineFollower* self = follower.get();
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
    const std::string attempt = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
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
    auto renewed = std::chrono::steady_clock::now();
    auto looked = renewed;
    while (!stop_ && !ending_) {
        if (database && std::chrono::steady_clock::now() - renewed > std::chrono::seconds(5)) {
            std::vector<std::string> claims;
            {
                const std::lock_guard lock(mutex_);
                claims.assign(claimed_.begin(), claimed_.end());
                for (const auto& [slot, attempt] : ahead_)
                    claims.push_back(attempt);
            }
            if (claims.empty() || database->renew(claims, settings_.claimSeconds))
                renewed = std::chrono::steady_clock::now();
        }
        if (!database) {
            auto opened = LineDatabase::open(settings_.url, &ending_);
            if (!opened) {
                // Tried again in a while; the slots meanwhile claim as ever.
                for (int step = 0; step < 50 && !stop_ && !ending_; ++step)
                    QThread::msleep(100);
                continue;
            }
            database = std::move(*opened);
        }
        const auto changed =
            database->waitForChange(settings_.line, std::chrono::milliseconds(500));
        if (!changed) {
            database.reset();
            continue;
        }
        // Looked at every few seconds as well: a notification sent while
        // the watch was connecting anew is not heard.
        if (*changed || std::chrono::steady_clock::now() - looked > std::chrono::seconds(5)) {
            looked = std::chrono::steady_clock::now();
            refresh(*database);
        }
    }
}

void LineFollower::refresh(LineDatabase& database) {
    const auto look = database.look(settings_.line, settings_.station);
    if (!look)
        return;
    const std::lock_guard lock(mutex_);
    // Looked at before a unit of ours was counted, it may be behind: an
    // assignment's units done never go down.
    done_ = look->assignment == now_.assignment.id ? std::max(done_, look->done) : look->done;
    if (look->assignment != 0 && look->assignment != now_.assignment.id) {
        // What was claimed ahead was claimed for the line as it was.
        giveBackAhead();
        auto fetched = fetch(database, look->assignment);
        if (!fetched) {
            listener_.notice(fetched.error() + ".");
        } else {
            now_ = std::move(*fetched);
            listener_.notice("Line " + settings_.line + " now sends " + describeNow() + ".");
        }
    }
    sayHold(look->kind == ClaimVerdict::Kind::Held ? look->reason : std::string());
}

Result<Following> LineFollower::fetch(LineDatabase& database, long long id) {
    auto assignment = database.assignment(id);
    if (!assignment)
        return fail("line " + settings_.line + ": " + assignment.error());
    const StateFolder folder(settings_.stateFolder);
    const auto file = folder.releaseFile(assignment->sha256);
    if (!fs::exists(file)) {
        auto release = database.release(assignment->sha256);
        if (!release)
            return fail("line " + settings_.line + ": " + release.error());
        if (!folder.keepRelease(assignment->sha256, release->file, release->signature))
            return fail("line " + settings_.line + ": its release cannot be kept in " +
                        folder.path().string());
    }
    auto following = verified(*assignment, file);
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

void LineFollower::settlePending() {
    while (!uncounted_.empty() && database_) {
        const OfflineUnit& unit = uncounted_.front();
        if (!database_->countOffline(unit.assignment, unit.attempt, settings_.station,
                                     unit.completed))
            return;
        uncounted_.pop_front();
        if (uncounted_.empty() && offline_.empty()) {
            listener_.notice("The plant's database is back: the " + std::to_string(offlineMade_) +
                             " units made offline are counted.");
            offlineMade_ = 0;
        }
    }
    bool settled = false;
    while (!unsettled_.empty() && database_) {
        const auto& [attempt, completed] = unsettled_.front();
        const auto held = database_->settle(attempt, completed);
        if (!held)
            return;
        if (!held->empty())
            sayHold(*held);
        if (completed)
            ++done_;
        unsettled_.pop_front();
        settled = true;
    }
    // The others' units count too: how far the work order is, as the plant
    // counts it now that ours are in.
    if (settled && database_)
        if (const auto look = database_->look(settings_.line, settings_.station);
            look && look->assignment == now_.assignment.id)
            done_ = std::max(done_, look->done);
}

std::string LineFollower::refusal(const ClaimVerdict& verdict) const {
    const auto& a = now_.assignment;
    switch (verdict.kind) {
    case ClaimVerdict::Kind::Held:
        return "Line " + settings_.line + " is held: " + verdict.reason + ". Not updated.";
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
        claimed_.insert(plan.attempt);
        return madeNow(std::move(plan));
    }
    plan.attempt = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    if (const auto connected = connect(); !connected)
        return offlinePlan(std::move(plan), connected.error());
    settlePending();
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
    claimed_.insert(plan.attempt);
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
    if (offline_.erase(report.attempt) != 0) {
        uncounted_.push_back({report.attempt, report.completed(), now_.assignment.id});
        if (connect())
            settlePending();
        return;
    }
    claimed_.erase(report.attempt);
    unsettled_.emplace_back(report.attempt, report.completed());
    settlePending();
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
