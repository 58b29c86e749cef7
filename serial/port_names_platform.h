#pragma once
// What port numbering asks of each platform (port_names_posix.cpp,
// port_names_win.cpp), and what those files share.

#include "port_names.h"

#include <QList>
#include <QSerialPortInfo>

#include <optional>
#include <vector>

namespace j4 {

// The system's ports, numbered.
std::vector<PortDescription> systemPorts(const QList<QSerialPortInfo>& available);
// The system's port with that number (in range), when there is one.
std::optional<PortDescription> systemPortForNumber(int number);
// Where the machine's ports file is.
QString systemPortsFile();
// The USB serial number of the adapter behind a tty, from the system itself
// (the moment it appears, before any helper has gathered it); empty if none.
QString adapterSerialNumber(const QString& device);
// The device's stable names: (by-id, by-path), empty where there are none.
std::pair<QString, QString> stableNames(const QString& device);

// "FT232R USB UART, FTDI, serial A10K1XYZ"
QString describe(const QSerialPortInfo& info);
// `device` numbered `number`, described if the system lists it.
PortDescription describeDevice(int number, const QString& device,
                               const QList<QSerialPortInfo>& available);

} // namespace j4
