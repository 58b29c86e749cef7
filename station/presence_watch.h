#pragma once
// Wakes a station's slot when something may have been plugged in or pulled:
// on Linux an inotify watch on /dev, /dev/serial and its by-id and by-path
// folders, and on the folder of a slot named by its path: a wait returns on
// an event, or once a stop is asked. Where the system will not give a watch
// (its inotify limits used up by other programs), a wait returns every half
// second instead, and the reason is kept for the operator.

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace j4::station {

// Which device is at a path now: a new one (plugged again, or another)
// differs, so a device left plugged after its update is never updated twice.
// It is what the path leads to, not the path: udev rewrites a device's links
// in place on a change event, and that is no new device.
struct DeviceIdentity {
    std::uint64_t device = 0;   // the device number
    std::uint64_t node = 0;     // its node: made anew each time a device appears
    std::int64_t createdNs = 0; // for a pseudo-terminal, whose node keeps its
                                // number when its index is used again

    bool operator==(const DeviceIdentity&) const = default;
};
// Nothing when no device is there.
std::optional<DeviceIdentity> identityOf(const std::string& path);

class PresenceWatch {
public:
    // `paths`: the slot's own device paths, whose folders are watched too.
    explicit PresenceWatch(const std::vector<QString>& paths);
    ~PresenceWatch();
    PresenceWatch(const PresenceWatch&) = delete;
    PresenceWatch& operator=(const PresenceWatch&) = delete;

    // Waits for the next change; false once *stop is set.
    bool wait(const std::atomic<bool>& stop);
    // Why the slots are looked at periodically instead of watched; empty
    // while they are watched.
    std::string fallbackReason() const;

private:
    struct System;
    std::unique_ptr<System> system_;
};

} // namespace j4::station
