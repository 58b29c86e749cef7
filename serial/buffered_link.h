#pragma once
// What every real link shares: reads take in whatever has arrived, and the
// answer is handed out a byte at a time from there, the rest counting as
// waiting (the surplus check sees it).

#include "serial_link.h"

#include <optional>
#include <vector>

namespace j4 {

class BufferedLink : public SerialLink {
public:
    ByteRead readByte() final;
    WaitingBytes bytesWaiting(std::chrono::milliseconds wait) final;

protected:
    virtual bool isOpen() const = 0;
    // Appends what has arrived to received(), waiting up to `wait` for the
    // first byte; no error and nothing appended when the wait runs out.
    virtual LinkError receive(std::chrono::milliseconds wait) = 0;
    // Bytes the system holds that receive() has not taken in yet; nothing
    // when the link cannot tell without receiving.
    virtual std::optional<std::size_t> bytesInDriver() const { return std::nullopt; }
    // How long an answer may take once a frame is written.
    virtual std::chrono::milliseconds answerWait() const { return answerTimeout(); }

    std::vector<std::uint8_t>& received() { return received_; }
    void clearReceived() {
        received_.clear();
        consumed_ = 0;
    }

private:
    std::size_t buffered() const { return received_.size() - consumed_; }

    std::vector<std::uint8_t> received_;
    std::size_t consumed_ = 0;
};

} // namespace j4
