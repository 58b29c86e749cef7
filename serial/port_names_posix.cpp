#include "port_names_platform.h"

#include <algorithm>

namespace j4 {

std::vector<PortDescription> systemPorts() {
    const auto available = QSerialPortInfo::availablePorts();
    std::vector<QSerialPortInfo> sorted(available.begin(), available.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return portNameLess(a.portName(), b.portName());
    });
    std::vector<PortDescription> ports;
    for (const QSerialPortInfo& info : sorted) {
        const int number = static_cast<int>(ports.size()) + 1;
        ports.push_back({number, info.systemLocation(), describe(info), info.serialNumber()});
    }
    return ports;
}

std::optional<PortDescription> systemPortForNumber(int number) {
    for (PortDescription& port : systemPorts()) {
        if (port.number == number)
            return std::move(port);
    }
    return std::nullopt;
}

QStringList splitPortList(const QString& value) {
    // Entries may hold colons themselves (rfc2217://HOST:PORT, by-path names),
    // so only a colon that starts another entry separates.
    QStringList entries;
    qsizetype start = 0;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) != QLatin1Char(':'))
            continue;
        const QStringView next = QStringView(value).mid(i + 1);
        const bool startsEntry = next.startsWith(QLatin1String("rfc2217://")) ||
                                 (next.startsWith(QLatin1Char('/')) &&
                                  !QStringView(value).left(i).endsWith(QLatin1String("rfc2217")));
        if (!startsEntry)
            continue;
        entries << value.mid(start, i - start);
        start = i + 1;
    }
    entries << value.mid(start);
    entries.removeAll(QString());
    return entries;
}

} // namespace j4
