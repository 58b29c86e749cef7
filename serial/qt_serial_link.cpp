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
    received_.clear();
    consumed_ = 0;
}

LinkError QtSerialLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return LinkError::NotOpen;
    // The answer time-out starts once the frame has left the host: the bytes
    // in the driver's queue still have their wire time to go.
    lastWireTime_ = platform::wireTime(bytes.size());
    return platform::writeAll(handle_, bytes, stopFlag());
}

ByteRead QtSerialLink::readByte() {
    if (!isOpen())
        return {LinkError::NotOpen};
    if (buffered() == 0) {
        received_.clear();
        consumed_ = 0;
        const auto wait =
            answerTimeout() + std::chrono::duration_cast<std::chrono::milliseconds>(lastWireTime_);
        if (const LinkError error = platform::readSome(handle_, received_, wait, stopFlag());
            error != LinkError::None)
            return {error};
        if (buffered() == 0)
            return {LinkError::NoAnswer};
    }
    return {LinkError::None, received_[consumed_++]};
}

WaitingBytes QtSerialLink::bytesWaiting(std::chrono::milliseconds wait) {
    if (!isOpen())
        return {LinkError::NotOpen};
    // What an earlier read took in beyond the answer, and what the driver
    // holds that nobody has read yet.
    std::size_t count = buffered() + platform::bytesInDriver(handle_);
    if (count > 0 || wait.count() <= 0)
        return {LinkError::None, count};
    if (const LinkError error = platform::readSome(handle_, received_, wait, stopFlag());
        error != LinkError::None)
        return {error};
    return {LinkError::None, buffered() + platform::bytesInDriver(handle_)};
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
    received_.clear();
    consumed_ = 0;
    adapterNote_.clear();
}

} // namespace j4
