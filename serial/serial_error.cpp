#include "serial_error.h"

namespace j4 {
namespace {

std::string duration(int ms) {
    if (ms % 1000 != 0)
        return std::to_string(ms) + " ms";
    const int seconds = ms / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

} // namespace

std::string serialErrorText(int code, int answerTimeoutMs) {
    switch (static_cast<SerialError>(code)) {
    case SerialError::PortNotFound:
        return "The serial port does not exist.";
    case SerialError::PermissionDenied:
#if defined(__linux__)
        return "Permission denied for the serial port. Your user must be a member of the "
               "'dialout' group (sudo usermod -aG dialout $USER, then log in again).";
#else
        return "Permission denied for the serial port.";
#endif
    case SerialError::PortBusy:
        return "The serial port is in use by another program.";
    case SerialError::NoAnswer:
        return "No answer from the device within " + duration(answerTimeoutMs) + ".";
    case SerialError::HungUp:
        return "The device or adapter was removed, or the line hung up.";
    case SerialError::IoError:
        return "Input/output error on the serial port.";
    case SerialError::NotOpen:
        return "The serial port is not open.";
    case SerialError::Interrupted:
        return "The update was interrupted.";
    case SerialError::SettingsRefused:
        return "The serial port does not accept 115200 baud, 8 data bits, no parity, 1 stop bit.";
    }
    return "Serial port error " + std::to_string(code) + ".";
}

} // namespace j4
