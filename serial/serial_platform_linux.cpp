// What only Linux offers a serial port: the USB adapters' latency timers in
// sysfs and the driver's low-latency flag, who else holds a port (/proc), and
// the group that opens serial ports.

#include "serial_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <linux/serial.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace j4::platform {
namespace {

int readNumber(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return -1;
    int value = -1;
    if (std::fscanf(file, "%d", &value) != 1)
        value = -1;
    std::fclose(file);
    return value;
}

bool writeNumber(const std::string& path, int value) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    const bool written = std::fprintf(file, "%d", value) > 0;
    return std::fclose(file) == 0 && written;
}

} // namespace

std::string permissionAdvice() {
    return "your user must be a member of the 'dialout' group: sudo usermod -aG dialout $USER, "
           "then log in again";
}

std::string processText(long pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    const std::string name =
        comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed().toStdString() : std::string();
    return (name.empty() ? "process" : name) + " (PID " + std::to_string(pid) + ")";
}

namespace {

// A character device as the kernel knows it: the device number, and the
// file system its node is on. Names are no good for this: a chroot or a
// container with a devpts of its own has a /dev/pts/0 that is not ours.
struct DeviceNode {
    dev_t fileSystem = 0;
    dev_t device = 0;
};

std::optional<DeviceNode> deviceNode(const char* path) {
    struct stat status {};
    if (::stat(path, &status) != 0 || !S_ISCHR(status.st_mode))
        return std::nullopt;
    return DeviceNode{status.st_dev, status.st_rdev};
}

// The terminals of a devpts instance: their numbers repeat in every
// instance, which only the instance's own file system tells apart.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;

bool isPseudoTerminal(dev_t device) {
    return major(device) >= kFirstPtyMajor && major(device) <= kLastPtyMajor;
}

long ptyIndex(dev_t device) {
    return static_cast<long>((major(device) - kFirstPtyMajor) * 256 + minor(device));
}

bool sameDevice(const DeviceNode& a, const DeviceNode& b) {
    return a.device == b.device && (!isPseudoTerminal(a.device) || a.fileSystem == b.fileSystem);
}

bool isMultiplexer(const DeviceNode& node) {
    return node.device == makedev(5, 2);
}

// The terminal whose master side a /dev/ptmx descriptor is: its index, from
// the descriptor's fdinfo.
std::optional<long> masterIndex(const QString& fdinfo) {
    QFile file(fdinfo);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith("tty-index:"))
            return line.mid(10).trimmed().toLong();
    return std::nullopt;
}

// Whether process `pid` has `wanted` open as a second user. The process that
// holds the master side of a pseudo-terminal is its other end (socat keeps
// both sides of the pairs it makes open), not a user of it.
bool holds(const QString& pid, const DeviceNode& wanted) {
    const QString base = QStringLiteral("/proc/") + pid;
    const QDir fds(base + QLatin1String("/fd"));
    bool slaveOpen = false;
    bool masterOpen = false;
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const auto node = deviceNode(QFile::encodeName(fds.filePath(fd)).constData());
        if (!node)
            continue;
        if (sameDevice(*node, wanted))
            slaveOpen = true;
        else if (isPseudoTerminal(wanted.device) && isMultiplexer(*node))
            masterOpen = masterOpen || masterIndex(base + QLatin1String("/fdinfo/") + fd) ==
                                           ptyIndex(wanted.device);
    }
    return slaveOpen && !masterOpen;
}

} // namespace

std::string otherHolders(const QString& device) {
    const auto wanted = deviceNode(QFile::encodeName(device).constData());
    // Each open of the pseudo-terminal multiplexer makes a pair of its own:
    // nobody shares it, though every terminal program has it open.
    if (!wanted || isMultiplexer(*wanted))
        return {};
    const QString self = QString::number(::getpid());
    std::string holders;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        // Other users' descriptors cannot be read: only what can be seen counts.
        if (pid != self && pid.front().isDigit() && holds(pid, *wanted))
            holders += (holders.empty() ? "" : ", ") + processText(pid.toLong());
    }
    return holders;
}

QString sysfsRoot() {
    return qEnvironmentVariable("SYSFS_PATH", QStringLiteral("/sys"));
}

void lowerLatencyTimer(AdapterLatency& latency, const QString& sysfsRoot, const QString& ttyName) {
    // The usb-serial drivers (FTDI and alike) expose the timer here.
    const std::string path =
        QFile::encodeName(sysfsRoot + QLatin1String("/bus/usb-serial/devices/") + ttyName +
                          QLatin1String("/latency_timer"))
            .toStdString();
    const int now = readNumber(path);
    if (now < 0)
        return;
    latency.timerPath = path;
    latency.timerMs = now;
    if (now <= 1)
        return;
    if (writeNumber(path, 1) && readNumber(path) == 1) {
        latency.savedTimerMs = now;
        latency.timerMs = 1;
    }
}

AdapterLatency lowerLatency(qintptr handle, const QString& location, const QString& sysfsRoot) {
    AdapterLatency latency;
    serial_struct info{};
    const int fd = static_cast<int>(handle);
    // Ports whose driver has no such mode (pseudo-terminals) refuse the call.
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
        latency.savedFlags = info.flags;
        info.flags |= ASYNC_LOW_LATENCY;
        serial_struct readBack{};
        latency.lowLatencyFlag = ::ioctl(fd, TIOCSSERIAL, &info) == 0 &&
                                 ::ioctl(fd, TIOCGSERIAL, &readBack) == 0 &&
                                 (readBack.flags & ASYNC_LOW_LATENCY) != 0;
    }
    const QString tty = QFileInfo(QFileInfo(location).canonicalFilePath()).fileName();
    if (!tty.isEmpty())
        lowerLatencyTimer(latency, sysfsRoot, tty);
    return latency;
}

void restoreLatency(qintptr handle, AdapterLatency& latency) {
    if (latency.savedTimerMs > 0)
        writeNumber(latency.timerPath, latency.savedTimerMs);
    if (latency.lowLatencyFlag && (latency.savedFlags & ASYNC_LOW_LATENCY) == 0) {
        serial_struct info{};
        const int fd = static_cast<int>(handle);
        if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
            info.flags = latency.savedFlags;
            ::ioctl(fd, TIOCSSERIAL, &info);
        }
    }
    latency = {};
}

} // namespace j4::platform
