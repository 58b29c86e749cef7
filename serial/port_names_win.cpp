#include "port_names_platform.h"

#include <algorithm>

namespace j4 {

std::vector<PortDescription> systemPorts() {
    std::vector<PortDescription> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
        if (!name.startsWith(QLatin1String("COM")))
            continue;
        bool ok = false;
        const int number = name.mid(3).toInt(&ok);
        if (ok)
            ports.push_back({number, name, describe(info), info.serialNumber()});
    }
    std::sort(ports.begin(), ports.end(),
              [](const auto& a, const auto& b) { return a.number < b.number; });
    return ports;
}

std::optional<PortDescription> systemPortForNumber(int number) {
    // COMn exists or not only when opened; the list is for descriptions.
    return describeDevice(number, QStringLiteral("COM%1").arg(number),
                          QSerialPortInfo::availablePorts());
}

QStringList splitPortList(const QString& value) {
    return value.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

} // namespace j4
