#pragma once
// A wait that a stop cuts short: background loops that try something again
// later (a database away) must still end at once when their owner ends.

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <thread>

namespace j4 {

// Waits `time` in short steps; false as soon as any of `stops` is set.
inline bool waitUnlessStopped(std::chrono::milliseconds time,
                              std::initializer_list<const std::atomic<bool>*> stops) {
    constexpr std::chrono::milliseconds kStep{100};
    const auto stopped = [&] {
        for (const std::atomic<bool>* stop : stops)
            if (*stop)
                return true;
        return false;
    };
    for (auto waited = std::chrono::milliseconds::zero(); waited < time; waited += kStep) {
        if (stopped())
            return false;
        std::this_thread::sleep_for(kStep);
    }
    return !stopped();
}

} // namespace j4
