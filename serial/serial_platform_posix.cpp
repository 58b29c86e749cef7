#include "serial_platform.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace j4::platform {
namespace {

// Waits are cut into slices so a stop request is seen promptly; they return
// as soon as data moves, so slicing costs no latency.
constexpr int kSliceMs = 100;
// How long an answer already on its way is still awaited after a stop.
constexpr int kStopGraceMs = 500;

bool stopped(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// After a failed call: a port that no longer answers to its own settings is
// gone (unplugged, or the other end of a pseudo-terminal closed).
LinkError failure(int fd) {
    const int error = errno;
    termios attributes{};
    const bool gone = error == EIO || ::tcgetattr(fd, &attributes) != 0;
    errno = error; // for the caller's detail
    return gone ? LinkError::HungUp : LinkError::IoError;
}

} // namespace

bool portExists(const QString& location) {
    return ::access(QFile::encodeName(location).constData(), F_OK) == 0;
}

LinkError permissionError(const QString& location) {
    return ::access(QFile::encodeName(location).constData(), R_OK | W_OK) == 0
               ? LinkError::PortBusy
               : LinkError::PermissionDenied;
}

QString realDevice(const std::string& name) {
    const bool path = name.starts_with('/') || name.starts_with("./") || name.starts_with("../");
    const std::string location = path ? name : "/dev/" + name;
    // realpath() on the bytes: a link named in another encoding still leads
    // to a device Qt can name.
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(location.c_str(), nullptr),
                                                         &std::free);
    return QFile::decodeName(resolved ? resolved.get() : location.c_str());
}

namespace {

// The lock of a device named `name`, as Qt, gensio and the UUCP programs
// write it: LCK.. and the name under /dev, its slashes made underscores.
std::optional<long> lockFileOwner(const QString& name, const char* folder) {
    QString base = name.startsWith(QLatin1String("/dev/")) ? name.mid(5) : name;
    base.replace(QLatin1Char('/'), QLatin1Char('_'));
    QFile lock(QLatin1String(folder) + QLatin1String("/LCK..") + base);
    if (!lock.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray content = lock.read(128);
    long pid = 0;
    if (content.size() == 4) {
        std::int32_t binary = 0; // the old binary format: the PID as a host int
        std::memcpy(&binary, content.constData(), sizeof binary);
        pid = binary;
    } else {
        pid = content.split('\n').value(0).trimmed().toLong();
    }
    if (pid <= 0 || pid == ::getpid())
        return std::nullopt;
    // A process that exists, even one we may not signal, holds the port;
    // the lock of one that is gone is stale, as the UUCP programs agree.
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
        return pid;
    lock.remove();
    return std::nullopt;
}

} // namespace

std::optional<long> lockFileOwner(const QStringList& names) {
    for (const QString& name : names) {
        for (const char* folder :
             {"/var/lock", "/run/lock", "/var/spool/locks", "/var/spool/uucp"}) {
            if (const auto owner = lockFileOwner(name, folder))
                return owner;
        }
    }
    return std::nullopt;
}

bool lockExclusively(qintptr handle) {
    return ::flock(static_cast<int>(handle), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

std::string systemErrorText(int error) {
    return "errno " + std::to_string(error) + ": " + std::strerror(error);
}

LinkError prepareForFrames(qintptr handle) {
    const int fd = static_cast<int>(handle);
    // A pseudo-terminal's master is no serial port: terminal settings mean
    // nothing there, and a read could wait forever.
    int ptyNumber = 0;
    if (::ioctl(fd, TIOCGPTN, &ptyNumber) == 0)
        return LinkError::PortNotFound;
    // Blocking reads that give up after a tenth of a second: one system call
    // waits for an answer, and a stop request is still seen promptly.
    termios attributes{};
    if (::tcgetattr(fd, &attributes) != 0)
        return LinkError::SettingsRefused;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = kSliceMs / 100;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::tcsetattr(fd, TCSANOW, &attributes) != 0 || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return LinkError::SettingsRefused;
    return LinkError::None;
}

int openWriteSide(qintptr handle, const QString& location) {
    // A descriptor of its own, non-blocking, so that writes can wait with a
    // deadline while reads keep their one-call blocking wait. Qt opened the
    // port for exclusive use: lifted for this one open, and set again.
    const int fd = static_cast<int>(handle);
    ::ioctl(fd, TIOCNXCL);
    const int writer = ::open(QFile::encodeName(location).constData(),
                              O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ::ioctl(fd, TIOCEXCL);
    return writer;
}

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` on fd up to `until`, in slices. Returns the events seen
// (0 when the time ran out or a stop cut it short), or -1 with errno set.
int waitFor(int fd, short events, Clock::time_point until, const std::atomic<bool>* stop) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0 || stopped(stop))
            return 0;
        pollfd p{fd, events, 0};
        const int ready =
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), kSliceMs)));
        if (ready > 0)
            return p.revents;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

} // namespace

LinkError writeAll(int fd, std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit,
                   const std::atomic<bool>* stop) {
    std::size_t sent = 0;
    std::optional<Clock::time_point> deadline; // set while the driver takes nothing
    bool stopping = false;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            deadline.reset();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return failure(fd);
        // The driver's queue is full: the line drains at its own pace, unless
        // the device (a pseudo-terminal's reader, say) stopped taking bytes.
        const auto now = Clock::now();
        if (!deadline)
            deadline = now + limit;
        if (!stopping && stopped(stop)) {
            // The frame may still go out whole within the grace.
            stopping = true;
            deadline = std::min(*deadline, now + std::chrono::milliseconds(kStopGraceMs));
        }
        if (now >= *deadline)
            return stopping ? LinkError::Interrupted : LinkError::WriteStalled;
        const int events = waitFor(fd, POLLOUT, *deadline, stopping ? nullptr : stop);
        if (events < 0)
            return failure(fd);
        if (events & (POLLHUP | POLLERR))
            return LinkError::HungUp;
    }
    return LinkError::None;
}

LinkError readSome(qintptr handle, std::vector<std::uint8_t>& into, std::chrono::milliseconds wait,
                   const std::atomic<bool>* stop) {
    using Clock = std::chrono::steady_clock;
    const int fd = static_cast<int>(handle);
    std::uint8_t chunk[256];
    if (wait < std::chrono::milliseconds(kSliceMs)) {
        // Shorter than a read's own slice (the guard after the last frame).
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
        if (ready < 0 && errno != EINTR)
            return failure(fd);
        if (ready <= 0)
            return stopped(stop) ? LinkError::Interrupted : LinkError::None;
    }
    // Mostly the answer is there within the first slice: one call, no clock.
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
        into.insert(into.end(), chunk, chunk + n);
        return LinkError::None;
    }
    auto started = Clock::now();
    auto deadline = started + wait;
    bool stopping = false;
    for (;;) {
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return failure(fd);
        const auto now = Clock::now();
        if (n == 0 && now - started < std::chrono::milliseconds(kSliceMs / 2)) {
            // Nothing, and at once: either a slice cut short or the end of
            // the line.
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)))
                return LinkError::HungUp;
        }
        if (!stopping && stopped(stop)) {
            // Stop at a frame boundary: the answer on its way still counts, so
            // that it is not left on the line for whoever opens the port next.
            stopping = true;
            deadline = std::min(deadline, now + std::chrono::milliseconds(kStopGraceMs));
        }
        if (now >= deadline)
            return stopping ? LinkError::Interrupted : LinkError::None;
        started = now;
        n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            into.insert(into.end(), chunk, chunk + n);
            return LinkError::None;
        }
    }
}

std::size_t bytesInDriver(qintptr handle) {
    int count = 0;
    if (::ioctl(static_cast<int>(handle), FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<std::size_t>(count);
}

void discardInput(qintptr handle) {
    ::tcflush(static_cast<int>(handle), TCIFLUSH);
}

} // namespace j4::platform
