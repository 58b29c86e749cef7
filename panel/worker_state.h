#pragma once
// What a window's worker thread shares with the window: a stop flag the
// engine polls, and whether the worker still holds a port. Workers still
// running when the process ends without returning from main (the window
// system went away and Qt called exit()) are each asked to stop and given a
// moment to close their ports, so no lock is left behind.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace j4 {

struct WorkerState {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable idle;
    bool working = false; // the worker has a port

    void setWorking(bool value);
};

// Stops the worker, and waits a moment for it, when the process exits.
void stopAtExit(const std::shared_ptr<WorkerState>& state);

} // namespace j4
