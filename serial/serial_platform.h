#pragma once
// What the tty link needs from the system beyond Qt SerialPort: POSIX in
// serial_platform_posix.cpp, what only Linux has in serial_platform_linux.cpp.
// Qt opens, configures, locks and closes the port; the bytes of a transfer go
// straight through the port's descriptors, with as few system calls as the
// protocol's rules allow.

#include "serial_link.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace j4::platform {

// False when there is nothing at `location` to open.
bool portExists(const QString& location);
// Qt reports both "not allowed" and "held by another program" as a permission
// error; tells them apart.
LinkError permissionError(const QString& location);

// The device itself behind a name (bare names as Qt reads them, links
// resolved, bytes kept as given until then), so that one device has one lock
// whatever name it was given; the location as it is when nothing is there.
QString realDevice(const std::string& name);
// The process that holds a device by a lock file in the UUCP/FHS format that
// other serial programs (ser2net, minicom) write in /var/lock: an ASCII or a
// binary PID. Each program names its lock after the name it opened the device
// by, so every name that leads to the device is looked for (`names`: the
// name given, the device itself, its stable links). Nothing when no live
// process holds one (a lock left by a process that is gone is removed).
std::optional<long> lockFileOwner(const QStringList& names);
// "ser2net (PID 1234)": a process as the operator knows it.
std::string processText(long pid);
// Takes an exclusive advisory lock on the open port; false while another
// descriptor of the same device holds one, whatever name it was opened by.
bool lockExclusively(qintptr handle);
// "errno 16: Device or resource busy"
std::string systemErrorText(int error);
// What a user refused a port should do about it.
std::string permissionAdvice();
// Other programs that have `device` open: "cat (PID 1234), minicom (PID 99)";
// empty when none, or when it cannot be told. Such a program, reading the
// port without a lock, takes the answers.
std::string otherHolders(const QString& device);

// Sets the opened port up for the frame path below.
LinkError prepareForFrames(qintptr handle);
// A second, non-blocking descriptor of the open port for writing; -1 if it
// cannot be had. The caller closes it.
int openWriteSide(qintptr handle, const QString& location);
// Hands all of `bytes` to the driver through a non-blocking descriptor.
// Gives up when the driver has taken nothing for `limit` (WriteStalled), or
// within a grace after *stop is set.
LinkError writeAll(int writer, std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit,
                   const std::atomic<bool>* stop);
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
