#include "port_names.h"

#include "port_names_platform.h"

#include "result.h"
#include "update_file_reader.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <span>
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
        ports.back().source = PortDescription::Source::Environment;
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
    PortDescription port;
    port.number = number;
    port.device = device;
    if (isRemoteAddress(device.toStdString()))
        return port;
    // A stable name (by-path, by-id) stands for the device it leads to.
    const QString real = QFileInfo(device).canonicalFilePath();
    for (const QSerialPortInfo& info : available) {
        if (info.systemLocation() == device || info.portName() == device ||
            (!real.isEmpty() && info.systemLocation() == real)) {
            port.description = describe(info);
            port.serialNumber = info.serialNumber();
            break;
        }
    }
    if (port.serialNumber.isEmpty() && !real.isEmpty())
        port.serialNumber = adapterSerialNumber(real);
    std::tie(port.byId, port.byPath) = stableNames(real.isEmpty() ? device : real);
    return port;
}

namespace {

// A ports file is a few lines per port: anything larger is not one.
constexpr std::uint64_t kPortsFileLimit = 64 * 1024;
// Lines named one by one before the rest are only counted.
constexpr int kProblemLinesNamed = 5;

// The file's text, or why it cannot be used. Opened without blocking, so a
// FIFO or a device named by mistake cannot hang a run.
Result<QByteArray, QString> portsFileText(const QString& path) {
    const auto unreadable = [&](const QString& why) {
        return fail(
            QStringLiteral("%1: cannot be read (%2); its ports are not used").arg(path, why));
    };
    const std::string name = QFile::encodeName(path).toStdString();
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return QByteArray(); // no file is no problem: there need not be one
    auto opened = UpdateFileReader::open(name, UpdateFileReader::Kinds::RegularOnly);
    if (!opened)
        return unreadable(QString::fromStdString(opened.error()));
    const auto& file = *opened;
    if (file->size().value_or(0) > kPortsFileLimit)
        return fail(QStringLiteral("%1: %2 bytes is too large for a ports file (at most %3); its "
                                   "ports are not used")
                        .arg(path)
                        .arg(*file->size())
                        .arg(kPortsFileLimit));
    QByteArray text(static_cast<qsizetype>(kPortsFileLimit) + 1, '\0');
    qsizetype length = 0;
    for (std::ptrdiff_t got = 0; length < text.size(); length += got) {
        got = file->read(std::span(reinterpret_cast<std::uint8_t*>(text.data()) + length,
                                   static_cast<std::size_t>(text.size() - length)));
        if (got < 0)
            return unreadable(QString::fromLocal8Bit(std::strerror(errno)));
        if (got == 0)
            break;
    }
    text.truncate(length);
    return text;
}

// The number a line's fields pin, or what is wrong with them.
Result<int, QString> pinnedNumber(const QStringList& fields) {
    bool ok = false;
    const int number = fields.value(0).toInt(&ok);
    if (fields.size() != 2)
        return fail(QStringLiteral("write a port number and a device, as \"3 /dev/ttyUSB0\""));
    if (!ok || number < kFirstPortNumber || number > kLastPortNumber)
        return fail(
            QStringLiteral("'%1' is not a port number from 1 to 255").arg(fields[0].left(20)));
    return number;
}

} // namespace

void readPortsFile(const QString& path, PortsFiles& into) {
    const auto text = portsFileText(path);
    if (!text) {
        into.problems << text.error();
        return;
    }
    std::map<int, int> pinnedAt; // number -> the line that pins it here
    int ignored = 0;
    const QList<QByteArray> lines = text->split('\n');
    for (qsizetype index = 0; index < lines.size(); ++index) {
        const int lineNumber = static_cast<int>(index) + 1;
        const QString line = QString::fromUtf8(lines[index]).section(QLatin1Char('#'), 0, 0);
        const QStringList fields = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.isEmpty())
            continue;
        const auto pinned = pinnedNumber(fields);
        if (!pinned) {
            if (++ignored <= kProblemLinesNamed)
                into.problems << QStringLiteral("%1:%2: %3; the line is ignored")
                                     .arg(path)
                                     .arg(lineNumber)
                                     .arg(pinned.error());
            continue;
        }
        const int number = *pinned;
        if (const auto earlier = pinnedAt.find(number); earlier != pinnedAt.end())
            into.problems << QStringLiteral("%1:%2: port %3 is pinned again; this line wins over "
                                            "line %4")
                                 .arg(path)
                                 .arg(lineNumber)
                                 .arg(number)
                                 .arg(earlier->second);
        pinnedAt[number] = lineNumber;
        into.pinned[number] = fields[1];
    }
    if (ignored > kProblemLinesNamed)
        into.problems << QStringLiteral("%1: %2 more lines are ignored")
                             .arg(path)
                             .arg(ignored - kProblemLinesNamed);
}

PortsFiles readPortsFiles() {
    PortsFiles files;
    readPortsFile(systemPortsFile(), files);
    readPortsFile(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                      QLatin1String("/j4-updater/ports"),
                  files);
    return files;
}

QString portsFileForPresentAdapters() {
    QString text = QStringLiteral(
        "# Port numbers pinned to USB sockets: whatever adapter is plugged into a\n"
        "# socket gets its number. Written by j4_flash --list-ports --ports-file.\n");
    for (const PortDescription& port : listPorts()) {
        if (port.byPath.isEmpty())
            continue;
        text += QStringLiteral("%1 %2").arg(port.number).arg(port.byPath);
        text += port.description.isEmpty() ? QStringLiteral("\n")
                                           : QStringLiteral("  # %1\n").arg(port.description);
    }
    return text;
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
    if (!override.isEmpty())
        return fromEnvironment(override);
    const auto available = QSerialPortInfo::availablePorts();
    std::vector<PortDescription> ports = systemPorts(available);
    // Pinned numbers replace the list's; the others keep their place in it.
    for (const auto& [number, device] : readPortsFiles().pinned) {
        PortDescription pinned = describeDevice(number, device, available);
        pinned.source = PortDescription::Source::PortsFile;
        std::erase_if(ports, [number](const auto& port) { return port.number == number; });
        ports.push_back(std::move(pinned));
    }
    std::sort(ports.begin(), ports.end(),
              [](const auto& a, const auto& b) { return a.number < b.number; });
    return ports;
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
    if (qEnvironmentVariableIsEmpty("J4_PORTS")) {
        const PortsFiles files = readPortsFiles();
        if (const auto pinned = files.pinned.find(number); pinned != files.pinned.end()) {
            PortDescription port =
                describeDevice(number, pinned->second, QSerialPortInfo::availablePorts());
            port.source = PortDescription::Source::PortsFile;
            return port;
        }
        return systemPortForNumber(number);
    }
    for (const PortDescription& port : listPorts()) {
        if (port.number == number)
            return port;
    }
    return std::nullopt;
}

QStringList foldersToWatch(const QStringList& devices) {
    QStringList folders = deviceFolders();
    for (const auto& [number, device] : readPortsFiles().pinned)
        folders << QFileInfo(device).absolutePath();
    for (const QString& device : devices)
        folders << QFileInfo(device).absolutePath();
    folders.removeDuplicates();
    folders.removeIf([](const QString& folder) { return !QFileInfo(folder).isDir(); });
    return folders;
}

} // namespace j4
