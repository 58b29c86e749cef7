#pragma once
// What every real link shares: reads take in whatever has arrived, and the
// answer is handed out a byte at a time from there, the rest counting as
// waiting (the surplus check sees it). The link also times the device: from
// the moment a frame has left the host to its answer.

#include "serial_link.h"

#include <chrono>
#include <optional>
#include <vector>

namespace j4 {

// How long `bytes` take on the wire at 115200 8N1.
inline std::chrono::microseconds wireTime(std::size_t bytes) {
    return std::chrono::microseconds(bytes * 10 * 1000000 / 115200);
}

class BufferedLink : public SerialLink {
public:
    ByteRead readByte() final;
    WaitingBytes bytesWaiting(std::chrono::milliseconds wait) final;

protected:
    using Clock = std::chrono::steady_clock;

    virtual bool isOpen() const = 0;
    // Appends what has arrived to received(), waiting up to `wait` for the
    // first byte; no error and nothing appended when the wait runs out.
    virtual LinkError receive(std::chrono::milliseconds wait) = 0;
    // Called when an answer did not come in time: a link may say why it
    // might not have (setErrorDetail).
    virtual void noAnswer() {}
    // Bytes the system holds that receive() has not taken in yet; nothing
    // when the link cannot tell without receiving.
    virtual std::optional<std::size_t> bytesInDriver() const { return std::nullopt; }
    // How long an answer may take once a frame is written: the answer
    // time-out starts once the frame has left the host.
    std::chrono::milliseconds answerWait() const {
        return answerTimeout() + std::chrono::ceil<std::chrono::milliseconds>(lastWireTime_);
    }
    // A frame of `bytes` has been handed to the system just now.
    void frameWritten(std::size_t bytes) {
        lastWireTime_ = wireTime(bytes);
        frameLeavesAt_ = Clock::now() + lastWireTime_;
    }

    std::vector<std::uint8_t>& received() { return received_; }
    void clearReceived() {
        received_.clear();
        consumed_ = 0;
    }

private:
    std::size_t buffered() const { return received_.size() - consumed_; }
    LinkError takeIn(std::chrono::milliseconds wait);

    std::vector<std::uint8_t> received_;
    std::size_t consumed_ = 0;
    std::chrono::microseconds lastWireTime_{0};
    Clock::time_point frameLeavesAt_{};
    Clock::time_point receivedAt_{};
};

} // namespace j4
