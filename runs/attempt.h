#pragma once
// One attempt on one device, written once: the link made, the session run,
// its events told as the run's under the device's index, the log appended,
// the end told. Several devices at once, the station's slots and the
// window's update all go through here.

#include "attempt_report.h"
#include "log_writer.h"
#include "release_check.h"
#include "tls_settings.h"
#include "update_session.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace j4::runs {

// What a slot did.
struct SlotTally {
    int completed = 0;
    int failed = 0;
};

// What happens on each device, called from that device's thread.
class DeviceListener {
public:
    virtual ~DeviceListener() = default;
    virtual void opening(std::size_t /*device*/) {}
    virtual void started(std::size_t /*device*/, std::size_t /*totalBytes*/) {}
    virtual void sending(std::size_t /*device*/, const TransferState&) {}
    virtual void answered(std::size_t /*device*/, const TransferState&,
                          std::chrono::steady_clock::duration /*sinceSent*/) {}
    virtual void finished(std::size_t /*device*/, const AttemptReport&) {}
    // A station slot's counts, after each of its attempts.
    virtual void tallied(std::size_t /*slot*/, const SlotTally&) {}
    // Something was plugged in or pulled where a station slot looks: what
    // is in it may have changed.
    virtual void slotChanged(std::size_t /*slot*/) {}
    // A station slot has a device, which it updates next (after its settle
    // time, and its unit's scan where one is required).
    virtual void deviceSeen(std::size_t /*slot*/, const std::string& /*device*/) {}
    // A station slot's device waits for its unit's label to be scanned.
    virtual void waitingForUnit(std::size_t /*slot*/) {}
    // A station slot's device is the unit with this serial number.
    virtual void unitGiven(std::size_t /*slot*/, const std::string& /*unit*/) {}
    // A station slot's device has been pulled: the slot waits for the next.
    virtual void devicePulled(std::size_t /*slot*/) {}
    // Something the operator must know, said once: a log that cannot be
    // written, a station that cannot watch its slots.
    virtual void notice(const std::string& /*text*/) {}
};

// Passes every event on to `next`: a listener that adds to a few derives
// from it and overrides those.
class PassingListener : public DeviceListener {
public:
    explicit PassingListener(DeviceListener& next) : next_(next) {}
    void opening(std::size_t device) override { next_.opening(device); }
    void started(std::size_t device, std::size_t total) override { next_.started(device, total); }
    void sending(std::size_t device, const TransferState& s) override { next_.sending(device, s); }
    void answered(std::size_t device, const TransferState& s,
                  std::chrono::steady_clock::duration d) override {
        next_.answered(device, s, d);
    }
    void finished(std::size_t device, const AttemptReport& r) override {
        next_.finished(device, r);
    }
    void tallied(std::size_t slot, const SlotTally& t) override { next_.tallied(slot, t); }
    void slotChanged(std::size_t slot) override { next_.slotChanged(slot); }
    void deviceSeen(std::size_t slot, const std::string& device) override {
        next_.deviceSeen(slot, device);
    }
    void waitingForUnit(std::size_t slot) override { next_.waitingForUnit(slot); }
    void devicePulled(std::size_t slot) override { next_.devicePulled(slot); }
    void unitGiven(std::size_t slot, const std::string& unit) override {
        next_.unitGiven(slot, unit);
    }
    void notice(const std::string& text) override { next_.notice(text); }

protected:
    DeviceListener& next_;
};

// The link for a device (a real one, or a test's).
using LinkMaker = std::function<std::unique_ptr<SerialLink>(const std::string& device)>;

// The real links: a tty or COM port, or a remote port reached with `tls`;
// each times out after `timeout` without an answer.
LinkMaker realLinks(std::chrono::milliseconds timeout, TlsSettings tls);

// What every attempt of a run shares.
struct RunContext {
    LinkMaker makeLink;
    DeviceListener& listener;
    const std::atomic<bool>& stop;
    LogWriter* log = nullptr; // none: nothing is logged
    // Files not yet decoded are checked and decoded first under it, so that
    // a refused file opens no port; none: the session's own order.
    const release::ReleasePolicy* release = nullptr;
};

// An attempt that ended before any port was opened, its file refused: with
// its unique ID.
AttemptReport refusedAttempt(const UpdateRequest& request, const PreparedFile& prepared);

// A record's unique ID, and a claim's (the attempt it becomes): a random
// UUID, as the database's uuid columns read it.
std::string newAttemptId();

// One try on `device`: its events told, its end not (a station may try an
// open again before the attempt ends).
AttemptReport tryUpdate(std::size_t device, const UpdateRequest& request, const RunContext& run);

// The attempt's end: given its unique ID (once, however many tries it took),
// logged (a log that cannot be written said once, as a notice, and failing
// nothing), then told.
void endAttempt(std::size_t device, AttemptReport& report, const RunContext& run);

// One try and its end.
AttemptReport runAttempt(std::size_t device, const UpdateRequest& request, const RunContext& run);

} // namespace j4::runs
