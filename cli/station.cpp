#include "station.h"

#include "link_factory.h"
#include "port_names.h"
#include "presence_watch.h"

#include <QFile>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

namespace j4::cli {
namespace {

constexpr int kOpenRetries = 5;
constexpr int kOpenRetryMs = 200;

// The slot's own path, or the path its number is pinned to: its folder may
// be one udev does not write (a jig's own links).
std::vector<QString> watchedPaths(const TargetName& slot) {
    if (slot.kind == TargetName::Kind::Device)
        return {QFile::decodeName(slot.value.c_str())};
    if (slot.kind == TargetName::Kind::Port) {
        const UpdateRequest request = requestForPort({}, std::atoi(slot.value.c_str()));
        if (!request.device.empty() && !isRemoteAddress(request.device))
            return {QFile::decodeName(request.device.c_str())};
    }
    return {};
}

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
    SlotRunner(std::size_t index, const TargetName& slot, const std::string& file,
               std::shared_ptr<const DecodedFile> decoded, const LinkMaker& makeLink,
               DeviceListener& listener, const std::atomic<bool>& stop)
        : index_(index), slot_(slot), file_(file), decoded_(std::move(decoded)),
          makeLink_(makeLink), listener_(listener), stop_(stop), watch_(watchedPaths(slot)) {}

    // Plug, update, pull, next: until a stop.
    void run(Shared& shared) {
        shared_ = &shared;
        while (auto request = waitForDevice()) {
            const std::string device = request->device;
            const auto identity = identityOf(device);
            if (!claim(identity)) {
                // Another slot has this very device: it is not opened twice.
                waitUntilGone(device, identity);
                continue;
            }
            UpdateReport report = update(*request);
            // A device just plugged in may refuse its first open while its
            // driver sets it up: tried again for a moment, as long as it is
            // the same device.
            // A stop meanwhile ends the retries and leaves the failure that
            // happened as the attempt's result.
            for (int retry = 0;
                 retry < kOpenRetries && !stop_ && report.outcome == UpdateOutcome::PortFailed &&
                 identityOf(device) == identity;
                 ++retry) {
                QThread::msleep(kOpenRetryMs);
                if (stop_)
                    break;
                report = update(*request);
            }
            // Heard once per device, whatever the retries: the log and the
            // counts agree.
            describe(report);
            listener_.finished(index_, report);
            {
                std::lock_guard lock(shared.mutex);
                SlotTally& tally = shared.result.tallies[index_];
                ++(report.completed() ? tally.completed : tally.failed);
                if (report.outcome == UpdateOutcome::Interrupted)
                    shared.result.cutByStop = true;
                else if (!report.completed())
                    shared.result.firstFailure =
                        shared.result.firstFailure.value_or(report.outcome);
            }
            if (report.outcome == UpdateOutcome::Interrupted)
                return;
            waitUntilGone(device, identity);
            release(identity);
        }
    }

private:
    std::optional<UpdateRequest> waitForDevice() {
        for (;;) {
            sayIfNotWatched();
            if (stop_)
                return std::nullopt;
            auto request = deviceInSlot(slot_, file_);
            if (request && identityOf(request->device))
                return request;
            if (!watch_.wait(stop_))
                return std::nullopt;
        }
    }

    static auto keyOf(const DeviceIdentity& identity) {
        return std::tuple(identity.device, identity.node, identity.createdNs);
    }
    bool claim(const std::optional<DeviceIdentity>& identity) {
        if (!identity)
            return true;
        std::lock_guard lock(shared_->mutex);
        const auto [at, fresh] = shared_->claimed.emplace(keyOf(*identity), index_);
        return fresh || at->second == index_;
    }
    void release(const std::optional<DeviceIdentity>& identity) {
        if (!identity)
            return;
        std::lock_guard lock(shared_->mutex);
        if (const auto at = shared_->claimed.find(keyOf(*identity));
            at != shared_->claimed.end() && at->second == index_)
            shared_->claimed.erase(at);
    }

    // A station that cannot watch still sees every device, a little later:
    // the operator hears why, once for the whole station.
    void sayIfNotWatched() {
        const std::string reason = watch_.fallbackReason();
        if (reason.empty())
            return;
        std::lock_guard lock(shared_->mutex);
        if (std::exchange(shared_->fallbackSaid, true))
            return;
        listener_.notice("Cannot watch the slots for devices (" + reason +
                         "): looking at them every half second instead.");
    }

    void waitUntilGone(const std::string& device, const std::optional<DeviceIdentity>& identity) {
        while (!stop_ && identity && identityOf(device) == identity && watch_.wait(stop_)) {
        }
    }

    UpdateReport update(UpdateRequest request) {
        request.decoded = decoded_;
        request.slot = static_cast<int>(index_) + 1;
        const Target target{std::move(request), {}};
        const auto reports = runOnDevices(decoded_, {target}, makeLink_, forward_, stop_);
        return reports.front();
    }

    // Told of the adapter afresh once the attempt is over: a device opened
    // the moment it appeared may not have been described yet.
    void describe(UpdateReport& report) const {
        if (!report.adapterSerial.empty())
            return;
        if (const auto now = deviceInSlot(slot_, file_); now && now->device == report.device) {
            report.adapterSerial = now->adapterSerial;
            report.portDescription = now->portDescription;
        }
    }

    // Passes one attempt's events on under the slot's index; its end is
    // passed on by run(), after any retries.
    class Forward final : public DeviceListener {
    public:
        Forward(std::size_t index, DeviceListener& to) : index_(index), to_(to) {}
        void started(std::size_t, std::size_t total) override { to_.started(index_, total); }
        void sending(std::size_t, const TransferState& s) override { to_.sending(index_, s); }
        void answered(std::size_t, const TransferState& s,
                      std::chrono::steady_clock::duration d) override {
            to_.answered(index_, s, d);
        }

    private:
        std::size_t index_;
        DeviceListener& to_;
    };

    std::size_t index_;
    const TargetName& slot_;
    const std::string& file_;
    std::shared_ptr<const DecodedFile> decoded_;
    const LinkMaker& makeLink_;
    DeviceListener& listener_;
    const std::atomic<bool>& stop_;
    PresenceWatch watch_;
    Forward forward_{index_, listener_};
    Shared* shared_ = nullptr;
};

} // namespace

std::string slotLabel(const TargetName& slot) {
    switch (slot.kind) {
    case TargetName::Kind::Port:
        return "port " + slot.value;
    case TargetName::Kind::Serial:
        return "serial " + slot.value;
    case TargetName::Kind::Device:
        break;
    }
    return slot.value;
}

std::string slotProblem(const TargetName& slot) {
    const bool range =
        slot.kind == TargetName::Kind::Port && slot.value.find('-') != std::string::npos;
    if (range || isRemoteAddress(slot.value))
        return "a station's slot is one local port: no ranges, no remote ports";
    return {};
}

std::string slotKey(const TargetName& slot) {
    switch (slot.kind) {
    case TargetName::Kind::Device:
        return "device " + deviceKey(slot.value);
    case TargetName::Kind::Port: {
        // A pinned number leads to its path; another to the system's list.
        const UpdateRequest request = requestForPort({}, std::atoi(slot.value.c_str()));
        return request.device.empty() ? "port " + slot.value
                                      : "device " + deviceKey(request.device);
    }
    case TargetName::Kind::Serial:
        return "serial " + slot.value;
    }
    return {};
}

std::string sameDeviceProblem(const std::vector<TargetName>& slotNames) {
    std::map<std::string, const TargetName*> seen;
    for (const TargetName& slot : slotNames) {
        const auto [at, fresh] = seen.emplace(slotKey(slot), &slot);
        if (!fresh)
            return slotLabel(*at->second) + " and " + slotLabel(slot) +
                   " are the same device: one slot each";
    }
    return {};
}

std::string tallyLine(std::size_t index, const TargetName& slot, const SlotTally& tally) {
    return "slot " + std::to_string(index + 1) + " (" + slotLabel(slot) +
           "): " + std::to_string(tally.completed) + " completed, " + std::to_string(tally.failed) +
           " failed";
}

std::string attemptLine(const UpdateReport& r) {
    std::string line = "slot " + std::to_string(r.slot.value_or(0)) + "  " + r.device + "  " +
                       (r.adapterSerial.empty() ? "-" : r.adapterSerial) + "  " + r.text;
    if (!r.completed())
        line += " " + r.detail;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "  %.1f s",
                  std::chrono::duration<double>(r.duration).count());
    return line + seconds;
}

std::optional<UpdateRequest> deviceInSlot(const TargetName& slot, const std::string& file) {
    switch (slot.kind) {
    case TargetName::Kind::Port: {
        UpdateRequest request = requestForPort(file, std::stoi(slot.value));
        return request.device.empty() ? std::nullopt : std::optional(request);
    }
    case TargetName::Kind::Device:
        return requestForDevice(file, slot.value);
    case TargetName::Kind::Serial:
        return requestForSerial(file, slot.value);
    }
    return std::nullopt;
}

StationResult runStation(std::shared_ptr<const DecodedFile> decoded,
                         const std::vector<TargetName>& slotNames, const std::string& file,
                         const LinkMaker& makeLink, DeviceListener& listener,
                         const std::atomic<bool>& stop) {
    Shared shared;
    shared.result.tallies.resize(slotNames.size());
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t i = 0; i < slotNames.size(); ++i) {
        threads.emplace_back(QThread::create([&, i] {
            SlotRunner(i, slotNames[i], file, decoded, makeLink, listener, stop).run(shared);
        }));
        threads.back()->start();
    }
    for (const auto& thread : threads)
        thread->wait();
    return std::move(shared.result);
}

} // namespace j4::cli
