#include "qt_serial_link.h"

#include <QDeadlineTimer>
#include <QSerialPort>

#include <algorithm>

namespace j4 {
namespace {

// Waits are cut into slices so a stop request is seen promptly; the waits
// themselves return as soon as data moves, so slicing costs no latency.
constexpr qint64 kSliceMs = 100;

} // namespace

QtSerialLink::QtSerialLink() = default;

QtSerialLink::QtSerialLink(std::chrono::milliseconds answerTimeout) {
    setAnswerTimeout(answerTimeout);
}

QtSerialLink::~QtSerialLink() {
    close();
}

bool QtSerialLink::isOpen() const {
    return serial_ && serial_->isOpen();
}

LinkError QtSerialLink::open(const std::string& device) {
    close();
    const QString location = platform::systemLocation(QString::fromStdString(device));
    if (!platform::portExists(location))
        return LinkError::PortNotFound;
    serial_ = std::make_unique<QSerialPort>();
    serial_->setPortName(location);
    if (!serial_->open(QIODevice::ReadWrite)) {
        LinkError error = LinkError::IoError;
        switch (serial_->error()) {
        case QSerialPort::DeviceNotFoundError:
            error = LinkError::PortNotFound;
            break;
        case QSerialPort::PermissionError:
            error = platform::permissionError(location);
            break;
        case QSerialPort::OpenError:
            error = LinkError::PortBusy;
            break;
        default:
            break;
        }
        serial_.reset();
        return error;
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
        return LinkError::SettingsRefused;
    }
    lowLatency_ = platform::enableLowLatency(serial_->handle());
    return LinkError::None;
}

void QtSerialLink::flushInput() {
    if (isOpen())
        serial_->clear(QSerialPort::Input);
}

LinkError QtSerialLink::portError() {
    const QSerialPort::SerialPortError error = serial_->error();
    serial_->clearError();
    if (error == QSerialPort::ResourceError)
        return LinkError::HungUp;
    if (error == QSerialPort::NotOpenError)
        return LinkError::NotOpen;
    // Qt reports a hang-up seen during a write or read as a plain I/O error on
    // some systems; a port that no longer answers to its own settings is gone.
    if (!serial_->isOpen() || platform::portIsGone(serial_->handle()))
        return LinkError::HungUp;
    return LinkError::IoError;
}

LinkError QtSerialLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return LinkError::NotOpen;
    const auto size = static_cast<qint64>(bytes.size());
    if (serial_->write(reinterpret_cast<const char*>(bytes.data()), size) != size)
        return portError();
    // Qt queues what the kernel does not take at once; push it out, giving up
    // only when the line makes no progress for a whole answer time-out.
    const qint64 timeoutMs = answerTimeout().count();
    QDeadlineTimer stalled(timeoutMs);
    qint64 left = serial_->bytesToWrite();
    while (left > 0) {
        if (stopRequested())
            return LinkError::Interrupted;
        if (!serial_->waitForBytesWritten(static_cast<int>(kSliceMs))) {
            if (serial_->error() != QSerialPort::TimeoutError &&
                serial_->error() != QSerialPort::NoError)
                return portError();
            serial_->clearError();
        }
        const qint64 now = serial_->bytesToWrite();
        if (now < left)
            stalled.setRemainingTime(timeoutMs);
        else if (stalled.hasExpired())
            return LinkError::IoError;
        left = now;
    }
    // The bytes are in the driver, not yet on the wire: the answer time-out
    // starts once the frame has left, so a long frame cannot eat it.
    return platform::drainOutput(serial_->handle(), stopFlag());
}

ByteRead QtSerialLink::readByte() {
    if (!isOpen())
        return {LinkError::NotOpen};
    QDeadlineTimer deadline(answerTimeout().count());
    while (serial_->bytesAvailable() == 0) {
        if (stopRequested())
            return {LinkError::Interrupted};
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0)
            return {LinkError::NoAnswer};
        if (serial_->waitForReadyRead(static_cast<int>(std::min(remaining, kSliceMs))))
            continue;
        const QSerialPort::SerialPortError error = serial_->error();
        if (error != QSerialPort::TimeoutError && error != QSerialPort::NoError)
            return {portError()};
        serial_->clearError();
    }
    char byte = 0;
    if (!serial_->getChar(&byte))
        return {portError()};
    return {LinkError::None, static_cast<std::uint8_t>(byte)};
}

WaitingBytes QtSerialLink::bytesWaiting(std::chrono::milliseconds wait) {
    if (!isOpen())
        return {LinkError::NotOpen};
    // What Qt has already read beyond the last answer, and what the driver
    // holds that Qt has not read yet.
    const auto waiting = [this] {
        return static_cast<std::size_t>(serial_->bytesAvailable()) +
               platform::bytesInDriver(serial_->handle());
    };
    if (const std::size_t count = waiting(); count > 0 || wait.count() <= 0)
        return {LinkError::None, count};
    QDeadlineTimer deadline(wait.count());
    for (;;) {
        if (stopRequested())
            return {LinkError::Interrupted};
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0)
            return {LinkError::None, waiting()};
        if (serial_->waitForReadyRead(static_cast<int>(std::min(remaining, kSliceMs))))
            return {LinkError::None, waiting()};
        const QSerialPort::SerialPortError error = serial_->error();
        if (error != QSerialPort::TimeoutError && error != QSerialPort::NoError)
            return {portError()};
        serial_->clearError();
    }
}

void QtSerialLink::close() {
    if (!serial_)
        return;
    if (serial_->isOpen()) {
        // Whatever an interrupted write left queued is dropped, not sent
        // after the operator has given up.
        if (serial_->bytesToWrite() > 0)
            serial_->clear(QSerialPort::Output);
        platform::restoreLowLatency(serial_->handle(), lowLatency_);
        serial_->close();
    }
    serial_.reset();
}

} // namespace j4
