#include "qt_serial_link.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

namespace j4 {
namespace {

std::string delayedAnswersNote(const QString& location, int timerMs) {
    QString adapter = QFileInfo(QFileInfo(location).canonicalFilePath()).fileName();
    const QSerialPortInfo info(adapter);
    if (!info.description().isEmpty())
        adapter = QStringLiteral("%1 (%2)").arg(adapter, info.description());
    return QStringLiteral("The USB adapter %1 keeps its latency timer at %2 ms and it could not be "
                          "lowered: answers may be delayed up to %2 ms each.")
        .arg(adapter)
        .arg(timerMs)
        .toStdString();
}

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
    handle_ = serial_->handle();
    if (!platform::prepareForFrames(handle_)) {
        serial_->close();
        serial_.reset();
        return LinkError::SettingsRefused;
    }
    latency_ = platform::lowerLatency(handle_, location, sysfsRoot_);
    if (latency_.answersDelayed())
        adapterNote_ = delayedAnswersNote(location, latency_.timerMs);
    return LinkError::None;
}

void QtSerialLink::flushInput() {
    if (!isOpen())
        return;
    serial_->clear(QSerialPort::Input);
    platform::discardInput(handle_);
    clearReceived();
}

LinkError QtSerialLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return LinkError::NotOpen;
    lastWireTime_ = platform::wireTime(bytes.size());
    return platform::writeAll(handle_, bytes, stopFlag());
}

LinkError QtSerialLink::receive(std::chrono::milliseconds wait) {
    return platform::readSome(handle_, received(), wait, stopFlag());
}

std::optional<std::size_t> QtSerialLink::bytesInDriver() const {
    return platform::bytesInDriver(handle_);
}

std::chrono::milliseconds QtSerialLink::answerWait() const {
    // The answer time-out starts once the frame has left the host: the bytes
    // in the driver's queue still have their wire time to go.
    return answerTimeout() + std::chrono::duration_cast<std::chrono::milliseconds>(lastWireTime_);
}

void QtSerialLink::close() {
    if (!serial_)
        return;
    if (serial_->isOpen()) {
        // Whatever an interrupted write left queued is dropped, not sent
        // after the operator has given up.
        serial_->clear(QSerialPort::Output);
        platform::restoreLatency(handle_, latency_);
        serial_->close();
    }
    serial_.reset();
    handle_ = -1;
    clearReceived();
    adapterNote_.clear();
}

} // namespace j4
