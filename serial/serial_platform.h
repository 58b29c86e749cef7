#pragma once
// What the Qt link needs from the system beyond Qt SerialPort, one file per
// platform.

#include "serial_link.h"

#include <QString>

#include <atomic>
#include <cstddef>

namespace j4::platform {

// Qt's own rule for a bare port name ("ttyS0" is /dev/ttyS0, COM3 is COM3).
QString systemLocation(const QString& name);
// False when there is nothing at `location` to open.
bool portExists(const QString& location);
// Qt reports both "not allowed" and "held by another program" as a permission
// error; tells them apart.
LinkError permissionError(const QString& location);

// Waits until every byte written has left the host. Ends early with
// Interrupted once *stop is set.
LinkError drainOutput(qintptr handle, const std::atomic<bool>* stop);
// Bytes received by the system but not yet read by Qt.
std::size_t bytesInDriver(qintptr handle);
// True when the port no longer answers to its own settings (unplugged).
bool portIsGone(qintptr handle);

// Asks the driver to hand over each received byte at once; remembers what
// to put back.
struct LowLatency {
    bool set = false;
    int savedFlags = 0;
};
LowLatency enableLowLatency(qintptr handle);
void restoreLowLatency(qintptr handle, LowLatency& state);

} // namespace j4::platform
