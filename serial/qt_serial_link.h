#pragma once
// The serial link over a real port, with Qt SerialPort. Blocking: every call
// must come from the thread that opened the port.

#include "serial_link.h"
#include "serial_platform.h"

#include <memory>

class QSerialPort;

namespace j4 {

class QtSerialLink final : public SerialLink {
public:
    QtSerialLink();
    explicit QtSerialLink(std::chrono::milliseconds answerTimeout);
    ~QtSerialLink() override;
    QtSerialLink(const QtSerialLink&) = delete;
    QtSerialLink& operator=(const QtSerialLink&) = delete;

    LinkError open(const std::string& device) override;
    void flushInput() override;
    LinkError write(std::span<const std::uint8_t> bytes) override;
    ByteRead readByte() override;
    WaitingBytes bytesWaiting(std::chrono::milliseconds wait) override;
    void close() override;

private:
    LinkError portError();
    bool isOpen() const;

    std::unique_ptr<QSerialPort> serial_;
    platform::LowLatency lowLatency_;
};

} // namespace j4
