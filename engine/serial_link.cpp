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
    case LinkError::ServerNotFound:
        return "The serial server's host name is not known. Check the name in the port address.";
    case LinkError::ServerRefused:
        return "The serial server refused the connection. Check that it runs and serves that "
               "network port.";
    case LinkError::ServerUnreachable:
        return "The serial server does not answer. Check the network and the address.";
    case LinkError::ServerLost:
        return "The connection to the serial server was lost.";
    case LinkError::AddressInvalid:
        return "The remote port's address is not valid. Write it as rfc2217://HOST:PORT.";
    case LinkError::TlsUntrusted:
        return "The serial server's certificate is not signed by a trusted authority. Give "
               "its authority with --tls-ca.";
    case LinkError::TlsWrongHost:
        return "The serial server's certificate is for another host. Check the host in the "
               "port address.";
    case LinkError::TlsExpired:
        return "The serial server's certificate has expired.";
    case LinkError::TlsNotYetValid:
        return "The serial server's certificate is not valid yet. Check the date and time of "
               "this computer and of the server.";
    case LinkError::TlsClientCertMissing:
        return "The serial server asks for a client certificate. Give one with --tls-cert "
               "and --tls-key.";
    case LinkError::TlsClientCertRefused:
        return "The serial server did not accept the client certificate.";
    case LinkError::TlsNotOffered:
        return "The serial server does not speak TLS. Write the port as rfc2217://HOST:PORT "
               "only if an unprotected connection is meant.";
    case LinkError::TlsExpected:
        return "The serial server speaks only TLS. Write the port as rfc2217s://HOST:PORT.";
    case LinkError::TlsFailed:
        return "The TLS connection to the serial server could not be set up.";
    }
    return "Serial port error.";
}

} // namespace j4
