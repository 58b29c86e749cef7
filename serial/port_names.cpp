#include "port_names.h"

#include "port_names_platform.h"

#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <tuple>

namespace j4 {
namespace {

int group(const QString& name) {
    if (name.startsWith(QLatin1String("ttyS")))
        return 0;
    if (name.startsWith(QLatin1String("ttyUSB")))
        return 1;
    if (name.startsWith(QLatin1String("ttyACM")))
        return 2;
    return 3;
}

// Splits "ttyUSB10" into ("ttyUSB", 10); a name without a trailing number
// gets -1 and sorts before its numbered siblings.
std::pair<QString, long long> splitNumber(const QString& name) {
    qsizetype digits = name.size();
    while (digits > 0 && name.at(digits - 1).isDigit())
        --digits;
    if (digits == name.size())
        return {name, -1};
    return {name.left(digits), name.mid(digits).toLongLong()};
}

std::vector<PortDescription> fromEnvironment(const QString& value) {
    // One scan of the system's ports for all entries: a scan takes tens of
    // milliseconds.
    const auto available = QSerialPortInfo::availablePorts();
    std::vector<PortDescription> ports;
    for (const QString& entry : splitPortList(value)) {
        const int number = static_cast<int>(ports.size()) + 1;
        ports.push_back(describeDevice(number, entry, available));
    }
    return ports;
}

} // namespace

QString describe(const QSerialPortInfo& info) {
    QStringList parts;
    if (!info.description().isEmpty())
        parts << info.description();
    if (!info.manufacturer().isEmpty() && info.manufacturer() != info.description())
        parts << info.manufacturer();
    if (!info.serialNumber().isEmpty())
        parts << QStringLiteral("serial %1").arg(info.serialNumber());
    return parts.join(QStringLiteral(", "));
}

PortDescription describeDevice(int number, const QString& device,
                               const QList<QSerialPortInfo>& available) {
    for (const QSerialPortInfo& info : available) {
        if (info.systemLocation() == device || info.portName() == device)
            return {number, device, describe(info), info.serialNumber()};
    }
    return {number, device, {}, {}};
}

bool isRemoteAddress(const std::string& device) {
    const auto scheme = device.find("://");
    return scheme != std::string::npos && scheme > 0 &&
           std::all_of(device.begin(), device.begin() + static_cast<long>(scheme),
                       [](unsigned char c) { return std::isalnum(c) || c == '+'; });
}

QString PortDescription::text() const {
    return description.isEmpty() ? device : QStringLiteral("%1 (%2)").arg(device, description);
}

bool portNameLess(const QString& a, const QString& b) {
    const auto [aStem, aNumber] = splitNumber(a);
    const auto [bStem, bNumber] = splitNumber(b);
    return std::tuple(group(a), aStem, aNumber) < std::tuple(group(b), bStem, bNumber);
}

std::vector<PortDescription> listPorts() {
    const QString override = qEnvironmentVariable("J4_PORTS");
    return override.isEmpty() ? systemPorts() : fromEnvironment(override);
}

UpdateRequest requestForPort(const std::string& file, int number) {
    UpdateRequest request;
    request.filePath = file;
    request.portNumber = number;
    if (const auto port = portForNumber(number)) {
        request.device = port->device.toStdString();
        request.portDescription = port->description.toStdString();
        request.adapterSerial = port->serialNumber.toStdString();
    }
    return request;
}

UpdateRequest requestForDevice(const std::string& file, const std::string& device) {
    UpdateRequest request;
    request.filePath = file;
    request.device = device;
    return request;
}

std::optional<PortDescription> portForNumber(int number) {
    if (number < kFirstPortNumber || number > kLastPortNumber)
        return std::nullopt;
    if (qEnvironmentVariableIsEmpty("J4_PORTS"))
        return systemPortForNumber(number);
    for (const PortDescription& port : listPorts()) {
        if (port.number == number)
            return port;
    }
    return std::nullopt;
}

} // namespace j4
