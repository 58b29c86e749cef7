#pragma once
// Background work below the windows, done one way: a QThread (the serial
// library expects the threads that open its ports to be QThreads, and
// QProcess's waits use one's event dispatcher), started at once and waited
// for when its owner lets it go. None outlives its owner; none is detached.

#include <QThread>

#include <functional>
#include <memory>

namespace j4 {

// Told by a thread once it is gone for good, Qt's own clean-up at its exit
// done; where the system's wait for a QThread already means that, at once.
class ThreadGone;

class WorkerThread {
public:
    WorkerThread() = default;
    // Runs `work` on a thread of its own from now.
    explicit WorkerThread(std::function<void()> work);
    // Waits for the work to end.
    ~WorkerThread() { wait(); }
    WorkerThread(WorkerThread&&) noexcept = default;
    WorkerThread& operator=(WorkerThread&& other) noexcept {
        wait();
        thread_ = std::move(other.thread_);
        gone_ = std::move(other.gone_);
        return *this;
    }

    // Until the work has ended and its thread is gone; at once when there
    // is none.
    void wait();

private:
    std::unique_ptr<QThread> thread_;
    std::shared_ptr<ThreadGone> gone_;
};

} // namespace j4
