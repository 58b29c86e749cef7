#pragma once
// Background work below the windows, done one way: a QThread (the serial
// library expects the threads that open its ports to be QThreads, and
// QProcess's waits use one's event dispatcher), started at once and waited
// for when its owner lets it go. None outlives its owner; none is detached.

#include <QThread>

#include <functional>
#include <memory>

namespace j4 {

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
        return *this;
    }

    // Until the work has ended; at once when there is none.
    void wait();

private:
    std::unique_ptr<QThread> thread_;
};

} // namespace j4
