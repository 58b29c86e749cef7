#include "com_port_link.h"

#include <QString>

#include <windows.h>

#include <algorithm>

namespace j4 {
namespace {

// Reads wait in slices so a stop request is seen promptly; each returns as
// soon as a byte is there.
constexpr DWORD kSliceMs = 100;
// What the driver may hold each way, as the port's settings have always had.
constexpr DWORD kQueueBytes = 512;

LinkError fromWindows(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return LinkError::PortNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return LinkError::PortBusy;
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
        return LinkError::HungUp;
    default:
        return LinkError::IoError;
    }
}

} // namespace

LinkError ComPortLink::failed(unsigned long error) {
    // The system's own words, for the detail.
    setErrorDetail("error " + std::to_string(error) + ": " +
                   qt_error_string(static_cast<int>(error)).toStdString());
    return fromWindows(static_cast<DWORD>(error));
}

std::wstring windowsDevicePath(const std::string& device) {
    std::string path = device;
    if (path.rfind("\\\\.\\", 0) != 0 && path.size() > 3 &&
        (path.rfind("COM", 0) == 0 || path.rfind("com", 0) == 0))
        path = "\\\\.\\" + path;
    return QString::fromStdString(path).toStdWString();
}

ComPortLink::ComPortLink(std::chrono::milliseconds answerTimeout) {
    setAnswerTimeout(answerTimeout);
}

ComPortLink::~ComPortLink() {
    close();
}

LinkError ComPortLink::open(const std::string& device) {
    close();
    setErrorDetail({});
    const HANDLE port = CreateFileW(windowsDevicePath(device).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return failed(GetLastError());
    SetupComm(port, kQueueBytes, kQueueBytes);
    // Raw 8N1, binary, no parity check, no flow control of any kind: 0x11 and
    // 0x13 are answers here, not XON/XOFF.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    GetCommState(port, &settings);
    settings.BaudRate = 115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.fAbortOnError = FALSE;
    if (!SetCommState(port, &settings)) {
        CloseHandle(port);
        return LinkError::SettingsRefused;
    }
    // A read returns at once with what is there, or waits up to a slice for
    // the first byte.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kSliceMs;
    // A write ends, whole or not, within the wire time (rounded up to 1 ms a
    // byte) plus the answer time-out: a device that stops taking bytes
    // cannot hold it forever.
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(answerTimeout().count());
    SetCommTimeouts(port, &timeouts);
    handle_ = port;
    return LinkError::None;
}

void ComPortLink::flushInput() {
    if (handle_ == nullptr)
        return;
    PurgeComm(static_cast<HANDLE>(handle_), PURGE_RXCLEAR | PURGE_RXABORT);
    clearReceived();
}

LinkError ComPortLink::write(std::span<const std::uint8_t> bytes) {
    if (handle_ == nullptr)
        return LinkError::NotOpen;
    const auto port = static_cast<HANDLE>(handle_);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(port, bytes.data() + sent, static_cast<DWORD>(bytes.size() - sent), &written,
                       nullptr))
            return failed(GetLastError());
        sent += written;
        if (stopRequested() && sent < bytes.size())
            return LinkError::Interrupted;
        if (written == 0)
            return LinkError::WriteStalled;
    }
    // The answer time-out starts once the frame has left the host.
    if (!FlushFileBuffers(port))
        return failed(GetLastError());
    frameWritten(0);
    return LinkError::None;
}

LinkError ComPortLink::receive(std::chrono::milliseconds wait) {
    const auto port = static_cast<HANDLE>(handle_);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        std::uint8_t chunk[256];
        DWORD got = 0;
        if (!ReadFile(port, chunk, sizeof chunk, &got, nullptr))
            return failed(GetLastError());
        if (got > 0) {
            received().insert(received().end(), chunk, chunk + got);
            return LinkError::None;
        }
        if (stopRequested())
            return LinkError::Interrupted;
        if (std::chrono::steady_clock::now() >= deadline)
            return LinkError::None;
    }
}

std::optional<std::size_t> ComPortLink::bytesInDriver() const {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(static_cast<HANDLE>(handle_), &errors, &status))
        return std::nullopt;
    return status.cbInQue;
}

void ComPortLink::close() {
    if (handle_ != nullptr) {
        // Whatever an interrupted write left queued is dropped, not sent
        // after the operator has given up.
        PurgeComm(static_cast<HANDLE>(handle_), PURGE_TXCLEAR | PURGE_TXABORT);
        CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
    clearReceived();
}

} // namespace j4
