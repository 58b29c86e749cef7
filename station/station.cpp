#include "station.h"

#include "presence_watch.h"
#include "slots.h"
#include "worker_thread.h"

#include <QThread>

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

namespace j4::station {
namespace {

constexpr int kOpenRetries = 5;
constexpr int kOpenRetryMs = 200;

// What the slots of one station share.
struct Shared {
    StationResult result;
    std::mutex mutex;
    bool fallbackSaid = false;
    // Devices being updated, or updated and still plugged in, by the slot
    // that has them: one device that shows up in two slots is one attempt.
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::int64_t>, std::size_t> claimed;
};

class SlotRunner {
public:
    SlotRunner(std::size_t index, const runs::TargetName& slot, const std::string& file,
               std::shared_ptr<const DecodedFile> decoded, const runs::RunContext& run,
               const StationOptions& options, Shared& shared)
        : index_(index), slot_(slot), file_(file), decoded_(std::move(decoded)), run_(run),
          options_(options), shared_(shared), watch_(slotPaths(slot)) {}

    // Plug, update, pull, next: until a stop.
    void run() {
        while (auto request = waitForDevice()) {
            const auto seenAt = std::chrono::steady_clock::now();
            const std::string device = request->device;
            const auto identity = identityOf(device);
            if (!claim(identity)) {
                // Another slot has this very device: it is not opened twice.
                waitUntilGone(device, identity);
                continue;
            }
            run_.listener.deviceSeen(index_, device);
            request->decoded = decoded_;
            const auto unit = unitFor(device, identity);
            if (!unit && run_.stop)
                return;
            if (!unit) {
                notScanned(*request);
                run_.listener.devicePulled(index_);
                release(identity);
                continue;
            }
            if (!unit->empty())
                run_.listener.unitGiven(index_, *unit);
            // A device pulled while it settles is not this attempt's: the
            // next one plugged gets a settle of its own.
            if (!settledSince(seenAt, device, identity)) {
                if (run_.stop)
                    return;
                if (!unit->empty() && options_.units != nullptr)
                    options_.units->putBack(index_ + 1, *unit);
                run_.listener.devicePulled(index_);
                release(identity);
                continue;
            }
            runs::AttemptReport report = update(std::move(*request), identity, *unit);
            if (report.outcome == UpdateOutcome::Interrupted)
                return;
            if (waitUntilGone(device, identity))
                run_.listener.devicePulled(index_);
            release(identity);
        }
    }

private:
    // The unit's scanned serial (empty when none is needed or waiting), or
    // nothing when the device was pulled, or a stop came, before a scan it
    // needs.
    std::optional<std::string> unitFor(const std::string& device,
                                       const std::optional<DeviceIdentity>& identity) {
        if (options_.units == nullptr)
            return std::string();
        const int slot = static_cast<int>(index_) + 1;
        if (std::string unit = options_.units->take(slot); !unit.empty() || !options_.requireUnit)
            return unit;
        // While it waits, a scan may be bound to it as the one device waiting;
        // it waits before the operator is told to scan, so that a scan that
        // follows the prompt sees every device the prompts named.
        options_.units->setWaiting(slot, true);
        run_.listener.waitingForUnit(index_);
        std::optional<std::string> unit;
        while (!unit && !run_.stop && identityOf(device) == identity)
            if (options_.units->waitForScan(slot, std::chrono::milliseconds(200)))
                if (std::string scanned = options_.units->take(slot); !scanned.empty())
                    unit = std::move(scanned);
        options_.units->setWaiting(slot, false);
        return unit;
    }

    // Pulled before its unit's label was scanned: an attempt that sent
    // nothing, counted as failed, logged as every other.
    void notScanned(const UpdateRequest& request) {
        runs::AttemptReport report;
        report.outcome = UpdateOutcome::NotStarted;
        report.text = "Not updated: the device was pulled before its unit's label was scanned.";
        report.filePath = request.filePath;
        report.device = request.device;
        report.slot = static_cast<int>(index_) + 1;
        report.adapterSerial = request.adapterSerial;
        report.portDescription = request.portDescription;
        report.fileSha256 = decoded_->sha256;
        report.signature = decoded_->signature;
        report.startedAt = report.endedAt = std::chrono::system_clock::now();
        end(report);
    }

    // Waits out the settle time; false when a stop came or the device
    // went (another may be in its place) before it ended.
    bool settledSince(std::chrono::steady_clock::time_point seenAt, const std::string& device,
                      const std::optional<DeviceIdentity>& identity) const {
        const auto until = seenAt + options_.settle;
        for (;;) {
            if (run_.stop || identityOf(device) != identity)
                return false;
            if (std::chrono::steady_clock::now() >= until)
                return true;
            QThread::msleep(static_cast<unsigned long>(
                std::clamp<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          until - std::chrono::steady_clock::now())
                                          .count(),
                                      1, 50)));
        }
    }

    // Counted before the end is told: whoever hears the end sees the counts
    // that include it. Then the line's own signal.
    void end(runs::AttemptReport& report) {
        count(report);
        endAttempt(index_, report, run_);
        if (options_.onResult != nullptr)
            options_.onResult->run(report, run_.listener);
    }

    // One attempt, heard once whatever the retries: the log and the counts
    // agree.
    runs::AttemptReport update(UpdateRequest request, const std::optional<DeviceIdentity>& identity,
                               const std::string& unit) {
        describe(request);
        UnitPlan plan;
        if (options_.source != nullptr) {
            plan = options_.source->next(index_);
            if (!plan.decoded) {
                // Nothing is sent and nothing recorded: the unit was never
                // the line's to make.
                run_.listener.notice("slot " + std::to_string(index_ + 1) + ": " + plan.refusal);
                runs::AttemptReport withheld;
                withheld.outcome = UpdateOutcome::NotStarted;
                return withheld;
            }
            request.decoded = plan.decoded;
            request.filePath = plan.filePath;
        }
        const LastFrameConfirmation confirmation(request, plan, unit);
        runs::AttemptReport report = tryUpdate(index_, request, run_);
        // A device just plugged in may refuse its first open while its
        // driver sets it up: tried again for a moment, as long as it is the
        // same device, which is looked at right before each open (another
        // plugged in during the pause is not this attempt's). A stop
        // meanwhile leaves the failure that happened.
        for (int retry = 0;
             retry < kOpenRetries && !run_.stop && report.outcome == UpdateOutcome::PortFailed;
             ++retry) {
            QThread::msleep(kOpenRetryMs);
            if (run_.stop || identityOf(request.device) != identity)
                break;
            describe(request);
            report = tryUpdate(index_, request, run_);
        }
        confirmation.explain(report);
        if (report.adapterSerial.empty())
            describe(report);
        report.slot = static_cast<int>(index_) + 1;
        report.unit = unit;
        report.attempt = plan.attempt;
        report.production = plan.production;
        end(report);
        if (options_.source != nullptr)
            options_.source->ended(index_, report);
        return report;
    }

    void count(const runs::AttemptReport& report) {
        runs::SlotTally tally;
        {
            std::lock_guard lock(shared_.mutex);
            StationResult& result = shared_.result;
            ++(report.completed() ? result.tallies[index_].completed
                                  : result.tallies[index_].failed);
            tally = result.tallies[index_];
            if (report.outcome == UpdateOutcome::Interrupted)
                result.cutByStop = true;
            else if (!report.completed())
                result.firstFailure = result.firstFailure.value_or(report.outcome);
        }
        run_.listener.tallied(index_, tally);
    }

    std::optional<UpdateRequest> waitForDevice() {
        for (;;) {
            sayIfNotWatched();
            if (run_.stop)
                return std::nullopt;
            auto request = deviceInSlot(slot_, file_);
            if (request && identityOf(request->device))
                return request;
            if (!wait())
                return std::nullopt;
        }
    }

    // The next change in the slot's folders, told; false on a stop.
    bool wait() {
        if (!watch_.wait(run_.stop))
            return false;
        run_.listener.slotChanged(index_);
        return true;
    }

    static auto keyOf(const DeviceIdentity& identity) {
        return std::tuple(identity.device, identity.node, identity.createdNs);
    }
    bool claim(const std::optional<DeviceIdentity>& identity) {
        if (!identity)
            return true;
        std::lock_guard lock(shared_.mutex);
        const auto [at, fresh] = shared_.claimed.emplace(keyOf(*identity), index_);
        return fresh || at->second == index_;
    }
    void release(const std::optional<DeviceIdentity>& identity) {
        if (!identity)
            return;
        std::lock_guard lock(shared_.mutex);
        if (const auto at = shared_.claimed.find(keyOf(*identity));
            at != shared_.claimed.end() && at->second == index_)
            shared_.claimed.erase(at);
    }

    // A station that cannot watch still sees every device, a little later:
    // the operator hears why, once for the whole station.
    void sayIfNotWatched() {
        const std::string reason = watch_.fallbackReason();
        if (reason.empty())
            return;
        {
            std::lock_guard lock(shared_.mutex);
            if (std::exchange(shared_.fallbackSaid, true))
                return;
        }
        run_.listener.notice("Cannot watch the slots for devices (" + reason +
                             "): looking at them every half second instead.");
    }

    // True when the device went, false on a stop.
    bool waitUntilGone(const std::string& device, const std::optional<DeviceIdentity>& identity) {
        while (!run_.stop && identity && identityOf(device) == identity && wait()) {
        }
        return !run_.stop;
    }

    // The adapter is looked at afresh right before each open and once the
    // attempt is over: a device seen the moment its name appeared may not
    // have been described yet, and one pulled mid-transfer cannot be
    // described any more.
    template <typename Described> void describe(Described& described) const {
        if (!described.adapterSerial.empty() && !described.portDescription.empty())
            return;
        if (const auto now = deviceInSlot(slot_, file_); now && now->device == described.device) {
            if (!now->adapterSerial.empty())
                described.adapterSerial = now->adapterSerial;
            if (!now->portDescription.empty())
                described.portDescription = now->portDescription;
        }
    }

    std::size_t index_;
    const runs::TargetName& slot_;
    const std::string& file_;
    std::shared_ptr<const DecodedFile> decoded_;
    const runs::RunContext& run_;
    const StationOptions& options_;
    Shared& shared_;
    PresenceWatch watch_;
};

} // namespace

StationResult runStation(std::shared_ptr<const DecodedFile> decoded,
                         const std::vector<runs::TargetName>& slotNames, const std::string& file,
                         const runs::RunContext& run, const StationOptions& options) {
    Shared shared;
    shared.result.tallies.resize(slotNames.size());
    if (options.units != nullptr)
        options.units->setSlotCount(static_cast<int>(slotNames.size()));
    std::vector<WorkerThread> threads;
    for (std::size_t i = 0; i < slotNames.size(); ++i)
        threads.emplace_back(
            [&, i] { SlotRunner(i, slotNames[i], file, decoded, run, options, shared).run(); });
    threads.clear(); // each waited for
    return std::move(shared.result);
}

} // namespace j4::station
