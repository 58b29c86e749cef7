#pragma once
// Which device a port number (1..255) stands for.
//
// A ports file pins numbers to places: /etc/j4-updater/ports, then the
// user's ($XDG_CONFIG_HOME/j4-updater/ports), whose entries win. Lines
// "N PATH", PATH a /dev/serial/by-path name (a USB socket), a by-id name (one
// adapter), a device, rfc2217://HOST:PORT, or COMn on Windows; # comments.
// A number not pinned is, on Windows, COMn; elsewhere the n-th serial port
// the system reports, built-in UARTs (ttyS*) first, then ttyUSB*, ttyACM*,
// the rest, each group in natural order. J4_PORTS (device paths or
// rfc2217://HOST:PORT addresses, separated by ':', on Windows ';') replaces
// all of that.

#include "update_session.h"

#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <vector>

namespace j4 {

struct PortDescription {
    enum class Source { List, PortsFile, Environment };

    int number = 0;
    QString device;       // what to open: a path, or COMn on Windows
    QString description;  // adapter, vendor and serial number where known
    QString serialNumber; // the adapter's, where known
    Source source = Source::List;
    QString byId;   // the adapter's stable name, where there is one
    QString byPath; // the USB socket's stable name, where there is one

    // "device (description)", or the device alone.
    QString text() const;
};

// The ports files, read: pinned numbers, and the lines that were ignored
// ("FILE:LINE: what is wrong").
struct PortsFiles {
    std::map<int, QString> pinned;
    QStringList problems;
};
PortsFiles readPortsFiles();
// Reads one file into `into`; its entries replace those already there.
void readPortsFile(const QString& path, PortsFiles& into);
// A ports file pinning the adapters present now by their USB sockets.
QString portsFileForPresentAdapters();

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

// Folders where serial devices and their stable names come and go (/dev,
// /dev/serial/by-id, ...): what to watch to see adapters plugged and pulled.
QStringList deviceFolders();
// Those folders that exist, with the folders of the pinned ports' devices
// and of `devices`: what a window watches to follow its ports.
QStringList foldersToWatch(const QStringList& devices = {});

// True for "SCHEME://...": a port on another machine, never a path.
bool isRemoteAddress(const std::string& device);

// J4_PORTS's entries: on Windows separated by ';'; elsewhere by a ':' that is
// followed by '/' or by "rfc2217://" (entries may hold colons themselves).
QStringList splitPortList(const QString& value);

// The ordering used for the system's list, on bare names such as "ttyUSB10".
bool portNameLess(const QString& a, const QString& b);

} // namespace j4
