#pragma once
// Hears a run's events on its devices' threads and posts them to the
// window: only a change of percent is worth a repaint, and with a trace
// stream a line per transmission goes there.

#include "attempt.h"
#include "record_keeping.h"
#include "station_metrics.h"
#include "worker_job.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace j4 {

// Each is called on the window's thread, and only while it exists; any may
// be empty.
struct RunCallbacks {
    std::function<void(int device)> opening;
    std::function<void(int device)> started;
    std::function<void(int device, int percent)> progress;
    std::function<void(int device, const runs::AttemptReport&)> finished;
    std::function<void(int slot, const runs::SlotTally&)> tallied;
    std::function<void(int slot)> slotChanged;
    std::function<void(int slot, const QString& device)> deviceSeen;
    std::function<void(int slot)> waitingForUnit;
    std::function<void(int slot, const QString& unit)> unitGiven;
    std::function<void(int slot)> devicePulled;
    std::function<void(const QString& text)> notice;
    // A line station's "release V, work order WO, N of Q units", and why
    // the line is held (empty: it is not).
    using LineShown = std::function<void(const QString& sends, const QString& held)>;
    LineShown lineShown;
};

// When the answer to the frame last sent began to be awaited (steady
// milliseconds; zero when none is), one a device.
using AwaitingSince = std::atomic<std::int64_t>;
using AwaitingAnswers = std::shared_ptr<std::vector<AwaitingSince>>;
// For `devices` devices, none awaiting.
AwaitingAnswers noneAwaiting(std::size_t devices);
// How long device `index` has awaited its answer.
std::chrono::milliseconds awaitedFor(const AwaitingAnswers& awaiting, std::size_t index);
std::int64_t steadyMs();

class RunRelay final : public runs::DeviceListener {
public:
    struct Trace {
        std::FILE* stream = nullptr;
        bool bySlot = false; // each line starts with "slot N"
    };
    RunRelay(std::size_t devices, WorkerJob::Post post, RunCallbacks callbacks, Trace trace,
             AwaitingAnswers awaiting = {});

    void opening(std::size_t device) override;
    void started(std::size_t device, std::size_t totalBytes) override;
    void sending(std::size_t device, const TransferState& state) override;
    void answered(std::size_t device, const TransferState& state,
                  std::chrono::steady_clock::duration sinceSent) override;
    void finished(std::size_t device, const runs::AttemptReport& report) override;
    void tallied(std::size_t slot, const runs::SlotTally& tally) override;
    void slotChanged(std::size_t slot) override;
    void deviceSeen(std::size_t slot, const std::string& device) override;
    void waitingForUnit(std::size_t slot) override;
    void unitGiven(std::size_t slot, const std::string& unit) override;
    void devicePulled(std::size_t slot) override;
    void notice(const std::string& text) override;

private:
    // Posts callback(args...) unless the callback is empty.
    template <class Callback, class... Args> void tell(const Callback& callback, Args... args) {
        if (callback)
            post_([callback, args...] { callback(args...); });
    }

    std::vector<int> lastPercent_; // each element belongs to its device's thread
    WorkerJob::Post post_;
    RunCallbacks callbacks_;
    Trace trace_;
    AwaitingAnswers awaiting_;
};

// Where a job's run goes besides the window, as the window sets it at each
// start: the links it opens, a line per transmission, the metrics and the
// records kept on the way.
struct JobOutlets {
    runs::LinkMaker links;
    std::FILE* trace = nullptr;
    std::shared_ptr<station::StationMetrics> metrics; // none without --metrics
    std::shared_ptr<records::RecordKeeping> records;  // none: nothing is logged
};

} // namespace j4
