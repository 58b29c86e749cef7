#pragma once
// Which device a port number (1..255) stands for.
//
// Windows: n is COMn. Elsewhere: the n-th serial port the system reports,
// built-in UARTs (ttyS*) first, then ttyUSB*, ttyACM*, the rest, each group in
// natural order, so motherboard ports get the low numbers as on Windows.
// J4_PORTS (device paths or rfc2217://HOST:PORT addresses, separated by ':',
// on Windows ';') replaces that list.

#include "update_session.h"

#include <QString>

#include <optional>
#include <vector>

namespace j4 {

struct PortDescription {
    int number = 0;
    QString device;       // what to open: a path, or COMn on Windows
    QString description;  // adapter, vendor and serial number where known
    QString serialNumber; // the adapter's, where known

    // "device (description)", or the device alone.
    QString text() const;
};

inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 255;

std::vector<PortDescription> listPorts();
std::optional<PortDescription> portForNumber(int number);

// A request to send `file` to port `number`: its device and description, or
// an empty device when no port has that number.
// `file` and `device` are kept as bytes (a name need not be UTF-8).
UpdateRequest requestForPort(const std::string& file, int number);
// A request to send `file` to a device named by its path (or COMn).
UpdateRequest requestForDevice(const std::string& file, const std::string& device);

// True for "SCHEME://...": a port on another machine, never a path.
bool isRemoteAddress(const std::string& device);

// J4_PORTS's entries: on Windows separated by ';'; elsewhere by a ':' that is
// followed by '/' or by "rfc2217://" (entries may hold colons themselves).
QStringList splitPortList(const QString& value);

// The ordering used for the system's list, on bare names such as "ttyUSB10".
bool portNameLess(const QString& a, const QString& b);

} // namespace j4
