#include "serial_link.h"

namespace j4 {
namespace {

std::string duration(std::chrono::milliseconds timeout) {
    const auto ms = timeout.count();
    if (ms % 1000 != 0)
        return std::to_string(ms) + " ms";
    const auto seconds = ms / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

} // namespace

std::string linkErrorText(LinkError error, std::chrono::milliseconds answerTimeout) {
    switch (error) {
    case LinkError::None:
        return {};
    case LinkError::PortNotFound:
        return "The serial port does not exist.";
    case LinkError::PermissionDenied:
        // What to do about it is the platform's to say, in the detail.
        return "Permission denied for the serial port.";
    case LinkError::PortBusy:
        return "The serial port is in use by another program.";
    case LinkError::NoAnswer:
        return "No answer from the device within " + duration(answerTimeout) + ".";
    case LinkError::HungUp:
        return "The device or adapter was removed, or the line hung up.";
    case LinkError::IoError:
        return "Input/output error on the serial port.";
    case LinkError::NotOpen:
        return "The serial port is not open.";
    case LinkError::Interrupted:
        return "The update was interrupted.";
    case LinkError::WriteStalled:
        return "The device stopped taking data in the middle of a frame.";
    case LinkError::SettingsRefused:
        return "The serial port does not accept 115200 baud, 8 data bits, no parity, 1 stop bit.";
    case LinkError::Specific:
        break;
    }
    return "Serial port error.";
}

std::string SerialLink::errorText(LinkError error) const {
    if (error == LinkError::Specific && !specificText_.empty())
        return specificText_;
    return linkErrorText(error, answerTimeout_);
}

} // namespace j4
