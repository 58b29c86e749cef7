#pragma once
// A station's live state kept current in the records database by a
// reporter of its own, at most once a second and at least every 15 s (its
// heartbeat), so that a view of the plant needs no look at the records.

#include "attempt.h"
#include "live_state.h"
#include "record_database.h"
#include "worker_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace j4::records {

class LiveReporter {
public:
    struct Timing {
        std::chrono::milliseconds least{1000};      // between two reports
        std::chrono::milliseconds heartbeat{15000}; // reported unchanged after
        std::chrono::milliseconds retry{5000};      // after a database that failed
    };
    LiveReporter(std::string url, LiveState first, Timing timing);
    LiveReporter(std::string url, LiveState first)
        : LiveReporter(std::move(url), std::move(first), Timing{}) {}
    ~LiveReporter();
    LiveReporter(const LiveReporter&) = delete;
    LiveReporter& operator=(const LiveReporter&) = delete;

    // Slot `slot` (from 0) is now in `state`.
    void set(std::size_t slot, const std::string& state, const std::string& unit);
    void setLine(const std::string& line);

private:
    void loop();
    bool report(const LiveState& state);

    const std::string url_;
    const Timing timing_;
    std::unique_ptr<RecordDatabase> database_;
    std::mutex mutex_;
    std::condition_variable changed_;
    LiveState state_;
    bool dirty_ = true;
    bool refused_ = false; // the database will not keep them: no more tries
    bool stop_ = false;
    std::atomic<bool> stopping_{false};
    WorkerThread thread_; // last: it stops before what it uses goes
};

// Tells the reporter what each slot of a station does, from the station's
// own events.
class LiveListener final : public runs::PassingListener {
public:
    LiveListener(runs::DeviceListener& next, LiveReporter* reporter)
        : PassingListener(next), reporter_(reporter) {}
    void started(std::size_t device, std::size_t total) override;
    void finished(std::size_t device, const runs::AttemptReport& report) override;
    void deviceSeen(std::size_t slot, const std::string& device) override;
    void waitingForUnit(std::size_t slot) override;
    void unitGiven(std::size_t slot, const std::string& unit) override;
    void devicePulled(std::size_t slot) override;

private:
    void set(std::size_t slot, const std::string& state);
    void keepUnit(std::size_t slot, const std::string& unit);

    LiveReporter* reporter_; // none: no database
    std::mutex mutex_;
    std::vector<std::string> units_;
};

} // namespace j4::records
