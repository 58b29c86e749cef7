#include "live_reporter.h"

namespace j4::records {
namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

LiveReporter::LiveReporter(std::string url, LiveState first, Timing timing)
    : url_(std::move(url)), timing_(timing), state_(std::move(first)) {
    for (SlotState& slot : state_.slotStates)
        slot.sinceMs = slot.sinceMs ? slot.sinceMs : nowMs();
    thread_ = WorkerThread([this] { loop(); });
}

LiveReporter::~LiveReporter() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    stopping_ = true;
    changed_.notify_all();
    thread_.wait();
    // Its last report says it was stopped, so that the plant tells a shift's
    // end from a crash: once, and for a few seconds at most.
    if (!database_)
        return;
    stopping_ = false;
    bool said = false;
    WorkerThread deadline([this, &said] {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(3), [&said] { return said; });
        stopping_ = true;
    });
    LiveState last = state_;
    last.stopped = true;
    static_cast<void>(database_->reportLive(last));
    {
        const std::lock_guard lock(mutex_);
        said = true;
    }
    changed_.notify_all();
    deadline.wait();
}

void LiveReporter::set(std::size_t slot, const std::string& state, const std::string& unit) {
    {
        const std::lock_guard lock(mutex_);
        if (slot >= state_.slotStates.size())
            return;
        SlotState& now = state_.slotStates[slot];
        if (now.state == state && now.unit == unit)
            return;
        now = {now.slot, state, unit, nowMs()};
        dirty_ = true;
    }
    changed_.notify_all();
}

void LiveReporter::setLine(const std::string& line) {
    {
        const std::lock_guard lock(mutex_);
        state_.line = line;
        dirty_ = true;
    }
    changed_.notify_all();
}

void LiveReporter::loop() {
    auto last = std::chrono::steady_clock::now() - timing_.heartbeat;
    std::unique_lock lock(mutex_);
    while (!stop_) {
        // At most once in `least`, at least once in `heartbeat`.
        changed_.wait_until(lock, last + timing_.heartbeat, [this] { return stop_ || dirty_; });
        if (stop_)
            break;
        changed_.wait_until(lock, last + timing_.least, [this] { return stop_; });
        if (stop_)
            break;
        LiveState state = state_;
        dirty_ = false;
        lock.unlock();
        const bool reported = report(state);
        lock.lock();
        last = std::chrono::steady_clock::now();
        if (!reported && refused_)
            break;
        if (!reported) {
            dirty_ = true; // tried again after a while
            changed_.wait_for(lock, timing_.retry, [this] { return stop_; });
        }
    }
}

bool LiveReporter::report(const LiveState& state) {
    if (!database_) {
        auto opened = RecordDatabase::open(url_, &stopping_);
        if (!opened)
            return false;
        database_ = std::move(*opened);
    }
    const auto reported = database_->reportLive(state);
    if (!reported) {
        // A role that may only insert records keeps them without a live
        // view: asked again, it would refuse again.
        refused_ = reported.error().refused;
        database_.reset();
        return false;
    }
    return true;
}

void LiveListener::set(std::size_t slot, const std::string& state) {
    std::string unit;
    {
        const std::lock_guard lock(mutex_);
        if (slot < units_.size())
            unit = units_[slot];
    }
    if (reporter_ != nullptr)
        reporter_->set(slot, state, unit);
}

void LiveListener::started(std::size_t device, std::size_t total) {
    next_.started(device, total);
    set(device, "updating");
}

void LiveListener::keepUnit(std::size_t slot, const std::string& unit) {
    const std::lock_guard lock(mutex_);
    if (units_.size() <= slot)
        units_.resize(slot + 1);
    units_[slot] = unit;
}

void LiveListener::finished(std::size_t device, const runs::AttemptReport& report) {
    next_.finished(device, report);
    if (!report.unit.empty())
        keepUnit(device, report.unit);
    set(device, report.completed() ? "completed" : "failed");
}

void LiveListener::deviceSeen(std::size_t slot, const std::string& device) {
    next_.deviceSeen(slot, device);
    set(slot, "plugged");
}

void LiveListener::waitingForUnit(std::size_t slot) {
    next_.waitingForUnit(slot);
    set(slot, "scan");
}

void LiveListener::unitGiven(std::size_t slot, const std::string& unit) {
    next_.unitGiven(slot, unit);
    keepUnit(slot, unit);
}

void LiveListener::devicePulled(std::size_t slot) {
    next_.devicePulled(slot);
    keepUnit(slot, {});
    set(slot, "empty");
}

} // namespace j4::records
