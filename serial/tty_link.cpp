#include "tty_link.h"

#include "port_names_platform.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <cerrno>
#include <unistd.h>

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

// Every name the device goes by: as given, itself, and its stable links.
QStringList namesOf(const std::string& given, const QString& location) {
    const bool bare = !given.starts_with('/') && !given.starts_with('.');
    QStringList names{bare ? QStringLiteral("/dev/") + QFile::decodeName(given.c_str())
                           : QFile::decodeName(given.c_str()),
                      location};
    const auto [byId, byPath] = stableNames(location);
    names << byId << byPath;
    names.removeAll(QString());
    names.removeDuplicates();
    return names;
}

} // namespace

TtyLink::TtyLink() = default;

TtyLink::TtyLink(std::chrono::milliseconds answerTimeout) {
    setAnswerTimeout(answerTimeout);
}

TtyLink::~TtyLink() {
    close();
}

bool TtyLink::isOpen() const {
    return serial_ && serial_->isOpen();
}

LinkError TtyLink::open(const std::string& device) {
    close();
    setErrorDetail({});
    // One device, one lock, whatever name it is opened by.
    const QString location = platform::realDevice(device);
    if (!platform::portExists(location))
        return LinkError::PortNotFound;
    // Qt takes a lock file whose owner is not one of its own programs for a
    // stale one and deletes it: look first, so that a port another serial
    // program (ser2net, minicom) holds is left alone. A program that keeps
    // the port open without any lock is found among the processes.
    std::string holders;
    if (const auto owner = platform::lockFileOwner(namesOf(device, location)))
        holders = platform::processText(*owner);
    else
        holders = platform::otherHolders(location);
    if (!holders.empty()) {
        setErrorDetail("The serial port is in use by " + holders + ".");
        return LinkError::PortBusy;
    }
    serial_ = std::make_unique<QSerialPort>();
    serial_->setPortName(location);
    if (!serial_->open(QIODevice::ReadWrite))
        return failOpen(openError(location));
    // Raw 8N1, no flow control of any kind: 0x11 and 0x13 are answers here,
    // not XON/XOFF.
    const bool configured =
        serial_->setBaudRate(115200) && serial_->setDataBits(QSerialPort::Data8) &&
        serial_->setParity(QSerialPort::NoParity) && serial_->setStopBits(QSerialPort::OneStop) &&
        serial_->setFlowControl(QSerialPort::NoFlowControl);
    if (!configured)
        return failOpen(LinkError::SettingsRefused);
    handle_ = serial_->handle();
    // The same device opened under another name, or by a program that locks
    // the descriptor rather than writing a lock file.
    if (!platform::lockExclusively(handle_)) {
        setErrorDetail("another program holds the device");
        return failOpen(LinkError::PortBusy);
    }
    if (const LinkError error = platform::prepareForFrames(handle_); error != LinkError::None) {
        setErrorDetail(error == LinkError::PortNotFound
                           ? "a pseudo-terminal's master side, not a serial port"
                           : platform::systemErrorText(errno));
        return failOpen(error);
    }
    writer_ = platform::openWriteSide(handle_, location);
    if (writer_ < 0) {
        setErrorDetail(platform::systemErrorText(errno));
        return failOpen(LinkError::IoError);
    }
    location_ = location;
    latency_ = platform::lowerLatency(handle_, location, sysfsRoot_);
    if (latency_.answersDelayed())
        adapterNote_ = delayedAnswersNote(location, latency_.timerMs);
    return LinkError::None;
}

LinkError TtyLink::openError(const QString& location) {
    if (errorDetail().empty())
        setErrorDetail(serial_->errorString().toStdString());
    switch (serial_->error()) {
    case QSerialPort::DeviceNotFoundError:
        return LinkError::PortNotFound;
    case QSerialPort::PermissionError:
        if (platform::permissionError(location) == LinkError::PermissionDenied) {
            setErrorDetail(platform::permissionAdvice());
            return LinkError::PermissionDenied;
        }
        return LinkError::PortBusy;
    case QSerialPort::OpenError:
        return LinkError::PortBusy;
    default:
        return LinkError::IoError;
    }
}

LinkError TtyLink::failOpen(LinkError error) {
    closeWriter();
    if (serial_->isOpen())
        serial_->close();
    serial_.reset();
    handle_ = -1;
    return error;
}

void TtyLink::flushInput() {
    if (!isOpen())
        return;
    serial_->clear(QSerialPort::Input);
    platform::discardInput(handle_);
    clearReceived();
}

LinkError TtyLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return LinkError::NotOpen;
    const LinkError error = platform::writeAll(writer_, bytes, answerTimeout(), stopFlag());
    if (error == LinkError::IoError)
        setErrorDetail(platform::systemErrorText(errno));
    frameWritten(bytes.size());
    return error;
}

LinkError TtyLink::receive(std::chrono::milliseconds wait) {
    const LinkError error = platform::readSome(handle_, received(), wait, stopFlag());
    if (error == LinkError::IoError)
        setErrorDetail(platform::systemErrorText(errno));
    return error;
}

void TtyLink::noAnswer() {
    // Another program reading the port without a lock takes the answers.
    if (const std::string holders = platform::otherHolders(location_); !holders.empty())
        setErrorDetail("the port is also open in " + holders);
}

std::optional<std::size_t> TtyLink::bytesInDriver() const {
    return platform::bytesInDriver(handle_);
}

void TtyLink::closeWriter() {
    if (writer_ >= 0)
        ::close(writer_);
    writer_ = -1;
}

void TtyLink::close() {
    if (!serial_)
        return;
    if (serial_->isOpen()) {
        // Whatever an interrupted write left queued is dropped, not sent
        // after the operator has given up.
        serial_->clear(QSerialPort::Output);
        platform::restoreLatency(handle_, latency_);
        closeWriter();
        serial_->close();
    }
    serial_.reset();
    handle_ = -1;
    clearReceived();
    adapterNote_.clear();
}

} // namespace j4
