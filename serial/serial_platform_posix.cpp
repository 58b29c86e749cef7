#include "serial_platform.h"

#include <QFile>

#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace j4::platform {

QString systemLocation(const QString& name) {
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./")) ||
        name.startsWith(QLatin1String("../")))
        return name;
    return QLatin1String("/dev/") + name;
}

bool portExists(const QString& location) {
    return ::access(QFile::encodeName(location).constData(), F_OK) == 0;
}

LinkError permissionError(const QString& location) {
    return ::access(QFile::encodeName(location).constData(), R_OK | W_OK) == 0
               ? LinkError::PortBusy
               : LinkError::PermissionDenied;
}

LinkError drainOutput(qintptr handle, const std::atomic<bool>* stop) {
    while (::tcdrain(static_cast<int>(handle)) != 0) {
        if (errno != EINTR)
            return portIsGone(handle) ? LinkError::HungUp : LinkError::IoError;
        if (stop != nullptr && stop->load())
            return LinkError::Interrupted;
    }
    return LinkError::None;
}

std::size_t bytesInDriver(qintptr handle) {
    int count = 0;
    if (::ioctl(static_cast<int>(handle), FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<std::size_t>(count);
}

bool portIsGone(qintptr handle) {
    termios attributes{};
    return ::tcgetattr(static_cast<int>(handle), &attributes) != 0;
}

LowLatency enableLowLatency([[maybe_unused]] qintptr handle) {
    LowLatency state;
#if defined(__linux__)
    // USB adapters otherwise hold a received byte up to their latency timer
    // (16 ms), which would dominate a stop-and-wait transfer. Ports whose
    // driver has no such mode (pseudo-terminals) refuse the call.
    serial_struct info{};
    const int fd = static_cast<int>(handle);
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
        state.savedFlags = info.flags;
        info.flags |= ASYNC_LOW_LATENCY;
        state.set = ::ioctl(fd, TIOCSSERIAL, &info) == 0;
    }
#endif
    return state;
}

void restoreLowLatency([[maybe_unused]] qintptr handle, LowLatency& state) {
#if defined(__linux__)
    if (state.set) {
        serial_struct info{};
        const int fd = static_cast<int>(handle);
        if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
            info.flags = state.savedFlags;
            ::ioctl(fd, TIOCSSERIAL, &info);
        }
    }
#endif
    state = {};
}

} // namespace j4::platform
