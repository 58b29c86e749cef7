#pragma once
// What the Qt link needs from the system beyond Qt SerialPort, one file per
// platform. Qt opens, configures, locks and closes the port; the bytes of a
// transfer go straight through the port's handle, with as few system calls as
// the protocol's rules allow.

#include "serial_link.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace j4::platform {

// Qt's own rule for a bare port name ("ttyS0" is /dev/ttyS0, COM3 is COM3).
QString systemLocation(const QString& name);
// False when there is nothing at `location` to open.
bool portExists(const QString& location);
// Qt reports both "not allowed" and "held by another program" as a permission
// error; tells them apart.
LinkError permissionError(const QString& location);

// Sets the opened port up for the frame path below; false if it refuses.
bool prepareForFrames(qintptr handle);
// Hands all of `bytes` to the driver. A signal cuts it short once *stop is set.
LinkError writeAll(qintptr handle, std::span<const std::uint8_t> bytes,
                   const std::atomic<bool>* stop);
// How long `bytes` take on the wire at 115200 8N1.
inline std::chrono::microseconds wireTime(std::size_t bytes) {
    return std::chrono::microseconds(bytes * 10 * 1000000 / 115200);
}
// Appends what has been received to `into`, waiting up to `wait` for the
// first byte; nothing appended and no error when the wait runs out.
LinkError readSome(qintptr handle, std::vector<std::uint8_t>& into, std::chrono::milliseconds wait,
                   const std::atomic<bool>* stop);
// Bytes received by the system and not read yet.
std::size_t bytesInDriver(qintptr handle);
// Discards what was received and not read yet.
void discardInput(qintptr handle);

// A USB adapter holds each received byte until its latency timer runs out
// (16 ms by default), which would dominate a stop-and-wait transfer. What was
// done about it, and what to put back on close.
struct AdapterLatency {
    bool lowLatencyFlag = false; // the driver took the low-latency flag
    int savedFlags = 0;
    std::string timerPath; // the adapter's latency_timer in sysfs; empty if none
    int savedTimerMs = -1; // to write back on close, when we lowered it
    int timerMs = -1;      // what it is now

    // True when an adapter will still hold answers: neither the flag nor the
    // timer took effect.
    bool answersDelayed() const { return !timerPath.empty() && !lowLatencyFlag && timerMs > 1; }
};
// Where sysfs is mounted: SYSFS_PATH overrides /sys, as libsysfs allowed.
QString sysfsRoot();
// Sets the low-latency flag on the handle and lowers the adapter's latency
// timer to 1 ms, reading both back.
AdapterLatency lowerLatency(qintptr handle, const QString& location, const QString& sysfsRoot);
// The sysfs half: the timer of tty `ttyName` under `sysfsRoot`.
void lowerLatencyTimer(AdapterLatency& latency, const QString& sysfsRoot, const QString& ttyName);
void restoreLatency(qintptr handle, AdapterLatency& latency);

} // namespace j4::platform
