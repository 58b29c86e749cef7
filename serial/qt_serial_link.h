#pragma once
// The serial link over a real port, with Qt SerialPort. Blocking: every call
// must come from the thread that opened the port, and a QCoreApplication must
// exist.

#include "port_names.h"
#include "serial_error.h"
#include "serial_link.h"

#include <QString>

#include <atomic>
#include <memory>

class QSerialPort;

namespace j4 {

class QtSerialLink final : public SerialLink {
public:
    // How long readByte waits for the device's answer once the frame has left.
    static constexpr int kDefaultAnswerTimeoutMs = 10000;

    explicit QtSerialLink(int answerTimeoutMs = kDefaultAnswerTimeoutMs);
    ~QtSerialLink() override;
    QtSerialLink(const QtSerialLink&) = delete;
    QtSerialLink& operator=(const QtSerialLink&) = delete;

    int open(int portNumber) override;
    void flushInput() override;
    int write(std::span<const std::uint8_t> bytes) override;
    int readByte() override;
    void close() override;
    std::string errorText(int code) const override;

    // Opens a device by its path (or COMn), bypassing the numbering.
    int openDevice(const QString& device);
    // What the last open was for: the port's device and description.
    const PortDescription& port() const { return port_; }
    // Blocking waits end with SerialError::Interrupted once *flag is set.
    void setInterruptFlag(const std::atomic<bool>* flag) { interrupt_ = flag; }
    int answerTimeoutMs() const { return answerTimeoutMs_; }

private:
    int mapPortError();
    bool interrupted() const { return interrupt_ != nullptr && interrupt_->load(); }

    std::unique_ptr<QSerialPort> serial_;
    // Low-latency mode we switched on, and the flags to put back on close.
    bool lowLatencySet_ = false;
    int savedSerialFlags_ = 0;
    PortDescription port_;
    int answerTimeoutMs_;
    const std::atomic<bool>* interrupt_ = nullptr;
};

} // namespace j4
