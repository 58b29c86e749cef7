#pragma once
// The port operations an update needs, and the one set of failures any link
// can report. A link owns time: how long an answer may take, and whether a
// stop request cuts a wait short.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace j4 {

enum class LinkError {
    None,
    PortNotFound,
    PermissionDenied,
    PortBusy,
    NoAnswer,
    HungUp,
    IoError,
    NotOpen,
    Interrupted,
    SettingsRefused,
    WriteStalled, // the port stopped taking bytes in the middle of a frame
    // A failure only this kind of link has (a serial server that cannot be
    // reached, a certificate refused): the link's errorText() says it.
    Specific,
};

// The operator's sentence for a failure every link may meet; `answerTimeout`
// goes into NoAnswer's. A link's own failures are its errorText()'s.
std::string linkErrorText(LinkError error, std::chrono::milliseconds answerTimeout);

struct ByteRead {
    LinkError error = LinkError::None;
    std::uint8_t byte = 0;
    // How long the device took: from the moment the frame had left the host
    // (its wire time included) to the byte's arrival.
    std::chrono::microseconds answerTime{0};
};

struct WaitingBytes {
    LinkError error = LinkError::None;
    std::size_t count = 0;
};

class SerialLink {
public:
    static constexpr std::chrono::milliseconds kDefaultAnswerTimeout{10000};

    virtual ~SerialLink() = default;

    // Opens the device at 115200 8N1, raw, no flow control. `device` is a path
    // (UTF-8) or a name the platform's serial library resolves.
    virtual LinkError open(const std::string& device) = 0;
    // Discards every byte received so far.
    virtual void flushInput() = 0;
    // Sends all of `bytes` and returns once they have left the host.
    virtual LinkError write(std::span<const std::uint8_t> bytes) = 0;
    // The next received byte, waiting at most answerTimeout().
    virtual ByteRead readByte() = 0;
    // How many received bytes are waiting; if none, waits up to `wait` for one.
    virtual WaitingBytes bytesWaiting(std::chrono::milliseconds wait) = 0;
    // Harmless on a link that is not open.
    virtual void close() = 0;
    // A sentence the operator should read about the open port's adapter (that
    // it delays answers, say); empty when there is nothing to say.
    virtual std::string adapterNote() const { return {}; }
    // What the system said about the last failure ("errno 16: Device or
    // resource busy"), or what is wrong with an address; empty when nothing.
    const std::string& errorDetail() const { return errorDetail_; }
    // The operator's sentence for `error` as this link met it.
    std::string errorText(LinkError error) const;

    std::chrono::milliseconds answerTimeout() const { return answerTimeout_; }
    void setAnswerTimeout(std::chrono::milliseconds timeout) { answerTimeout_ = timeout; }
    // Once *flag is set, blocking waits end with LinkError::Interrupted.
    void watchStopFlag(const std::atomic<bool>* flag) { stop_ = flag; }

protected:
    bool stopRequested() const { return stop_ != nullptr && stop_->load(); }
    const std::atomic<bool>* stopFlag() const { return stop_; }
    void setErrorDetail(std::string detail) { errorDetail_ = std::move(detail); }
    // A failure of this link's kind only, in the operator's words.
    LinkError failSpecifically(std::string text) {
        specificText_ = std::move(text);
        return LinkError::Specific;
    }

private:
    std::string errorDetail_;
    std::string specificText_;
    std::chrono::milliseconds answerTimeout_ = kDefaultAnswerTimeout;
    const std::atomic<bool>* stop_ = nullptr;
};

} // namespace j4
