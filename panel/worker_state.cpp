#include "worker_state.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace j4 {
namespace {

std::mutex registryMutex;
std::vector<std::weak_ptr<WorkerState>>& registry() {
    static std::vector<std::weak_ptr<WorkerState>> workers;
    return workers;
}

void stopWorkersAtExit() {
    std::vector<std::shared_ptr<WorkerState>> workers;
    {
        std::lock_guard lock(registryMutex);
        for (const auto& weak : registry())
            if (auto worker = weak.lock())
                workers.push_back(std::move(worker));
    }
    for (const auto& worker : workers)
        worker->stop = true;
    for (const auto& worker : workers) {
        std::unique_lock lock(worker->mutex);
        worker->idle.wait_for(lock, std::chrono::seconds(3), [&] { return !worker->working; });
    }
}

} // namespace

void WorkerState::setWorking(bool value) {
    {
        std::lock_guard lock(mutex);
        working = value;
    }
    idle.notify_all();
}

void stopAtExit(const std::shared_ptr<WorkerState>& state) {
    static const bool registered = [] {
        // After the registry exists, so this runs before its clean-up.
        registry();
        return std::atexit(stopWorkersAtExit) == 0;
    }();
    (void)registered;
    std::lock_guard lock(registryMutex);
    std::erase_if(registry(), [](const auto& weak) { return weak.expired(); });
    registry().push_back(state);
}

} // namespace j4
