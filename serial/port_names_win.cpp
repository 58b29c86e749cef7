#include "port_names_platform.h"

#include <algorithm>

namespace j4 {

std::vector<PortDescription> systemPorts(const QList<QSerialPortInfo>& available) {
    std::vector<PortDescription> ports;
    for (const QSerialPortInfo& info : available) {
        const QString name = info.portName();
        if (!name.startsWith(QLatin1String("COM")))
            continue;
        bool ok = false;
        const int number = name.mid(3).toInt(&ok);
        if (ok)
            ports.push_back(describeDevice(number, name, available));
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

QStringList deviceFolders() {
    return {}; // COM ports come and go without a folder to watch
}

QString systemPortsFile() {
    return qEnvironmentVariable("ProgramData", QStringLiteral("C:/ProgramData")) +
           QStringLiteral("/j4-updater/ports");
}

QString adapterSerialNumber(const QString&) {
    return {}; // Qt's list has it on Windows
}

std::pair<QString, QString> stableNames(const QString&) {
    return {}; // COM numbers are Windows' own stable names
}

QStringList splitPortList(const QString& value) {
    return value.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

} // namespace j4
