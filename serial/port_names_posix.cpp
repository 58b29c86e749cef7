#include "port_names_platform.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace j4 {

std::vector<PortDescription> systemPorts(const QList<QSerialPortInfo>& available) {
    std::vector<QSerialPortInfo> sorted(available.begin(), available.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return portNameLess(a.portName(), b.portName());
    });
    std::vector<PortDescription> ports;
    for (const QSerialPortInfo& info : sorted) {
        const int number = static_cast<int>(ports.size()) + 1;
        ports.push_back(describeDevice(number, info.systemLocation(), available));
    }
    return ports;
}

std::optional<PortDescription> systemPortForNumber(int number) {
    for (PortDescription& port : systemPorts(QSerialPortInfo::availablePorts())) {
        if (port.number == number)
            return std::move(port);
    }
    return std::nullopt;
}

QStringList deviceFolders() {
    const QString names = qEnvironmentVariable("J4_SERIAL_NAMES", QStringLiteral("/dev/serial"));
    return {QStringLiteral("/dev"), names, names + QStringLiteral("/by-id"),
            names + QStringLiteral("/by-path")};
}

QString systemPortsFile() {
    return QStringLiteral("/etc/j4-updater/ports");
}

QString adapterSerialNumber(const QString& device) {
    // sysfs: the tty's device is a USB interface; the adapter above it has
    // the serial number. SYSFS_PATH names a sysfs elsewhere, as for latency.
    const QString sysfs = qEnvironmentVariable("SYSFS_PATH", QStringLiteral("/sys"));
    QDir dir(QFileInfo(sysfs + QStringLiteral("/class/tty/") + QFileInfo(device).fileName() +
                       QStringLiteral("/device"))
                 .canonicalFilePath());
    for (int up = 0; up < 4 && !dir.isRoot() && dir.exists(); ++up) {
        QFile serial(dir.filePath(QStringLiteral("serial")));
        if (QFile::exists(dir.filePath(QStringLiteral("idVendor"))) &&
            serial.open(QIODevice::ReadOnly))
            return QString::fromUtf8(serial.readAll().trimmed());
        dir.cdUp();
    }
    return {};
}

std::pair<QString, QString> stableNames(const QString& device) {
    // udev's names; J4_SERIAL_NAMES names another folder (a test's own).
    const QString root = qEnvironmentVariable("J4_SERIAL_NAMES", QStringLiteral("/dev/serial"));
    const auto find = [&](const char* kind) {
        const QDir folder(root + QLatin1Char('/') + QLatin1String(kind));
        for (const QFileInfo& name : folder.entryInfoList(QDir::System | QDir::Files))
            if (name.isSymLink() && name.canonicalFilePath() == device)
                return name.filePath();
        return QString();
    };
    return {find("by-id"), find("by-path")};
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
        const QStringView before = QStringView(value).left(i);
        const bool afterScheme =
            before.endsWith(QLatin1String("rfc2217")) || before.endsWith(QLatin1String("rfc2217s"));
        const bool startsEntry = next.startsWith(QLatin1String("rfc2217://")) ||
                                 next.startsWith(QLatin1String("rfc2217s://")) ||
                                 (next.startsWith(QLatin1Char('/')) && !afterScheme);
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
