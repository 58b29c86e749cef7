#pragma once
// The serial link over a real port. Qt SerialPort opens, configures, locks
// and closes it; the frame path uses the port's handle directly, so a round
// trip costs little more than the system calls it needs. Blocking: every call
// must come from the thread that opened the port.

#include "buffered_link.h"
#include "serial_platform.h"

#include <memory>
#include <vector>

class QSerialPort;

namespace j4 {

class TtyLink final : public BufferedLink {
public:
    TtyLink();
    explicit TtyLink(std::chrono::milliseconds answerTimeout);
    ~TtyLink() override;
    TtyLink(const TtyLink&) = delete;
    TtyLink& operator=(const TtyLink&) = delete;

    LinkError open(const std::string& device) override;
    void flushInput() override;
    LinkError write(std::span<const std::uint8_t> bytes) override;
    void close() override;
    std::string adapterNote() const override { return adapterNote_; }

    // Where sysfs is: SYSFS_PATH when set (a container's or a test's own
    // tree), else /sys.
    void setSysfsRoot(const QString& root) { sysfsRoot_ = root; }

private:
    bool isOpen() const override;
    LinkError receive(std::chrono::milliseconds wait) override;
    std::optional<std::size_t> bytesInDriver() const override;
    void noAnswer() override;
    LinkError openError(const QString& location);
    LinkError failOpen(LinkError error);
    void closeWriter();

    std::unique_ptr<QSerialPort> serial_;
    QString location_;    // the device itself
    qintptr handle_ = -1; // Qt's: reads, settings, the lock
    int writer_ = -1;     // our own, non-blocking: writes
    platform::AdapterLatency latency_;
    std::string adapterNote_;
    QString sysfsRoot_ = platform::sysfsRoot();
};

} // namespace j4
