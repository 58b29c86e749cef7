#include "qt_serial_link.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSerialPort>

#include <algorithm>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif
#if defined(Q_OS_LINUX)
#include <linux/serial.h>
#endif

namespace j4 {
namespace {

// Waits are cut into slices so an interruption is seen promptly; the waits
// themselves return as soon as data moves, so slicing costs no latency.
constexpr int kSliceMs = 100;

} // namespace

QtSerialLink::QtSerialLink(int answerTimeoutMs) : answerTimeoutMs_(answerTimeoutMs) {}

QtSerialLink::~QtSerialLink() {
    close();
}

int QtSerialLink::open(int portNumber) {
    close();
    const auto port = portForNumber(portNumber);
    if (!port) {
        port_ = {portNumber, {}, {}};
        return code(SerialError::PortNotFound);
    }
    const int result = openDevice(port->device);
    port_ = *port;
    return result;
}

int QtSerialLink::openDevice(const QString& device) {
    close();
    port_ = {0, device, {}};
#if defined(Q_OS_UNIX)
    const QByteArray path = QFile::encodeName(device);
    if (!QFileInfo::exists(device))
        return code(SerialError::PortNotFound);
#endif
    serial_ = std::make_unique<QSerialPort>();
    serial_->setPortName(device);
    if (!serial_->open(QIODevice::ReadWrite)) {
        SerialError error = SerialError::IoError;
        switch (serial_->error()) {
        case QSerialPort::DeviceNotFoundError:
            error = SerialError::PortNotFound;
            break;
        case QSerialPort::PermissionError:
            // Qt says "permission" both for a device the user may not open and
            // for one another program holds (lock file or exclusive mode).
#if defined(Q_OS_UNIX)
            error = ::access(path.constData(), R_OK | W_OK) == 0 ? SerialError::PortBusy
                                                                 : SerialError::PermissionDenied;
#else
            error = SerialError::PortBusy;
#endif
            break;
        case QSerialPort::OpenError:
            error = SerialError::PortBusy;
            break;
        default:
            break;
        }
        serial_.reset();
        return code(error);
    }
    // Raw 8N1, no flow control of any kind: 0x11 and 0x13 are answers here,
    // not XON/XOFF.
    const bool configured =
        serial_->setBaudRate(115200) && serial_->setDataBits(QSerialPort::Data8) &&
        serial_->setParity(QSerialPort::NoParity) && serial_->setStopBits(QSerialPort::OneStop) &&
        serial_->setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        serial_->close();
        serial_.reset();
        return code(SerialError::SettingsRefused);
    }
#if defined(Q_OS_LINUX)
    // USB adapters otherwise hold a received byte up to their latency timer
    // (16 ms), which would dominate a stop-and-wait transfer. Ports whose
    // driver has no such mode (pseudo-terminals) refuse the call; that's fine.
    serial_struct info{};
    const int fd = static_cast<int>(serial_->handle());
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
        savedSerialFlags_ = info.flags;
        info.flags |= ASYNC_LOW_LATENCY;
        lowLatencySet_ = ::ioctl(fd, TIOCSSERIAL, &info) == 0;
    }
#endif
    return 0;
}

void QtSerialLink::flushInput() {
    if (serial_)
        serial_->clear(QSerialPort::Input);
}

int QtSerialLink::mapPortError() {
    const QSerialPort::SerialPortError error = serial_->error();
    serial_->clearError();
    switch (error) {
    case QSerialPort::ResourceError:
        return code(SerialError::HungUp);
    case QSerialPort::NotOpenError:
        return code(SerialError::NotOpen);
    default:
        break;
    }
    // Qt reports a hang-up seen during a write or read as a plain I/O error on
    // some systems; a port that no longer answers to its own settings is gone.
#if defined(Q_OS_UNIX)
    termios attributes{};
    if (!serial_->isOpen() || ::tcgetattr(static_cast<int>(serial_->handle()), &attributes) != 0)
        return code(SerialError::HungUp);
#endif
    return code(SerialError::IoError);
}

int QtSerialLink::write(std::span<const std::uint8_t> bytes) {
    if (!serial_ || !serial_->isOpen())
        return code(SerialError::NotOpen);
    const auto size = static_cast<qint64>(bytes.size());
    if (serial_->write(reinterpret_cast<const char*>(bytes.data()), size) != size)
        return mapPortError();
    // Qt queues what the kernel does not take at once; push it out, giving up
    // only when the line makes no progress for a whole answer time-out.
    QDeadlineTimer stalled(answerTimeoutMs_);
    qint64 left = serial_->bytesToWrite();
    while (left > 0) {
        if (interrupted())
            return code(SerialError::Interrupted);
        if (!serial_->waitForBytesWritten(kSliceMs)) {
            if (serial_->error() != QSerialPort::TimeoutError &&
                serial_->error() != QSerialPort::NoError)
                return mapPortError();
            serial_->clearError();
        }
        const qint64 now = serial_->bytesToWrite();
        if (now < left)
            stalled.setRemainingTime(answerTimeoutMs_);
        else if (stalled.hasExpired())
            return code(SerialError::IoError);
        left = now;
    }
#if defined(Q_OS_UNIX)
    // The bytes are in the kernel, not yet on the wire: the answer time-out
    // starts once the frame has left, so a long frame cannot eat it.
    const int fd = static_cast<int>(serial_->handle());
    while (::tcdrain(fd) != 0) {
        if (errno != EINTR)
            return mapPortError();
        if (interrupted())
            return code(SerialError::Interrupted);
    }
#endif
    return static_cast<int>(size);
}

int QtSerialLink::readByte() {
    if (!serial_ || !serial_->isOpen())
        return code(SerialError::NotOpen);
    QDeadlineTimer deadline(answerTimeoutMs_);
    while (serial_->bytesAvailable() == 0) {
        if (interrupted())
            return code(SerialError::Interrupted);
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0)
            return code(SerialError::NoAnswer);
        if (serial_->waitForReadyRead(static_cast<int>(std::min<qint64>(remaining, kSliceMs))))
            continue;
        const QSerialPort::SerialPortError error = serial_->error();
        if (error != QSerialPort::TimeoutError && error != QSerialPort::NoError)
            return mapPortError();
        serial_->clearError();
    }
    char byte = 0;
    if (!serial_->getChar(&byte))
        return mapPortError();
    return static_cast<unsigned char>(byte);
}

void QtSerialLink::close() {
    if (!serial_)
        return;
    if (serial_->isOpen()) {
        // Whatever an interrupted write left queued is dropped, not sent
        // after the operator has given up.
        if (serial_->bytesToWrite() > 0)
            serial_->clear(QSerialPort::Output);
#if defined(Q_OS_LINUX)
        if (lowLatencySet_) {
            serial_struct info{};
            const int fd = static_cast<int>(serial_->handle());
            if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
                info.flags = savedSerialFlags_;
                ::ioctl(fd, TIOCSSERIAL, &info);
            }
            lowLatencySet_ = false;
        }
#endif
        serial_->close();
    }
    serial_.reset();
}

std::string QtSerialLink::errorText(int code) const {
    return serialErrorText(code, answerTimeoutMs_);
}

} // namespace j4
