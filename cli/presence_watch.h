#pragma once
// Wakes a station's slot when something may have been plugged in or pulled:
// on Linux an inotify watch on /dev, /dev/serial and its by-id and by-path
// folders, and on the folder of a slot named by its path. No polling: a wait
// returns on an event, or once a stop is asked.

#include <QString>

#include <atomic>
#include <memory>
#include <vector>

namespace j4::cli {

class PresenceWatch {
public:
    // `paths`: the slot's own device paths, whose folders are watched too.
    explicit PresenceWatch(const std::vector<QString>& paths);
    ~PresenceWatch();
    PresenceWatch(const PresenceWatch&) = delete;
    PresenceWatch& operator=(const PresenceWatch&) = delete;

    // Waits for the next change; false once *stop is set.
    bool wait(const std::atomic<bool>& stop);

private:
    struct System;
    std::unique_ptr<System> system_;
};

} // namespace j4::cli
