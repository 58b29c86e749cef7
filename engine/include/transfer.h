#pragma once
// Stop-and-wait transfer of the frame image: one frame out, one answer byte
// back, a rejected frame sent again until the fourth reject in a row. The
// device answers exactly one byte per frame; a byte beyond that means nobody
// can tell which frame an answer belongs to, and the run ends.

#include "serial_link.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace j4 {

inline constexpr std::uint8_t kAcceptByte = 0x11;
inline constexpr std::uint8_t kRejectByte = 0x22;
inline constexpr int kMaxRejectsInARow = 4;
// How long the device is watched after the last accept for bytes that answer
// no frame, at the least: longer than a USB adapter's default 16 ms latency
// timer plus a byte time. A device that answers slowly is watched for twice
// its longest answer time of the run (at most the answer time-out), or its
// own late answer to the last frame would arrive after the watch.
inline constexpr std::chrono::milliseconds kSurplusGuard{50};
// An answer that comes in under a quarter of the shortest answer time seen
// so far (on a device slower than this) may be a stray byte standing in for
// the real answer: the real one is then awaited as after the last frame.
inline constexpr std::chrono::milliseconds kSlowDevice{20};

enum class TransferOutcome {
    Completed,         // every frame accepted once, in order, and nothing more came
    LinkFailed,        // the port failed, the device stayed silent, or a stop was asked
    UnexpectedAnswer,  // an answer other than kAcceptByte or kRejectByte
    AnswersOutOfStep,  // bytes that answer no frame
    RejectedFourTimes, // the kMaxRejectsInARow-th reject in a row
    Withheld,          // the caller kept back the frame that completes the image
};

// Where a run is, and where it ended.
struct TransferState {
    std::size_t totalBytes = 0;
    std::size_t frameNumber = 0; // 1-based number of the frame being sent
    std::size_t frameOffset = 0; // its offset in the image
    std::size_t frameSize = 0;   // its size on the wire
    std::size_t acceptedBytes = 0;
    std::size_t acceptedFrames = 0;
    int rejectsInARow = 0;
    std::size_t transmissions = 0;
    std::size_t rejects = 0;
    std::uint8_t lastAnswer = 0;
    std::size_t surplusBytes = 0; // AnswersOutOfStep: how many
    bool allFramesSent = false;   // every frame was answered with an accept
    // Completed: the line went away while the end was watched, after the
    // last accept (a device restarting into its new firmware does that).
    bool lineGoneAfterLastAccept = false;

    // The share of accepted bytes, 0..100, truncated.
    int percent() const {
        return totalBytes == 0 ? 0 : static_cast<int>(acceptedBytes * 100 / totalBytes);
    }
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::Completed;
    LinkError linkError = LinkError::None; // LinkFailed: why
    TransferState state;

    bool completed() const { return outcome == TransferOutcome::Completed; }
};

enum class TransferEvent {
    Sending,  // before every transmission, resends included
    Answered, // an answer byte has come (state.lastAnswer)
};

using TransferListener = std::function<void(TransferEvent, const TransferState&)>;

// Asked once, right before the frame that completes the image first goes
// out: false keeps that frame back, and the run ends there. What the image
// is for may have to be confirmed elsewhere before a device holds it whole.
using LastFrameGate = std::function<bool()>;

// The link must be open and its input flushed. The image is sent as it is,
// frame by frame; a frame that claims more than the data holds is cut at the
// data's end (a validated image has none). Once *stop is set the run ends
// before the next transmission.
TransferResult runTransfer(std::span<const std::uint8_t> image, SerialLink& link,
                           const TransferListener& listener = {},
                           const std::atomic<bool>* stop = nullptr,
                           const LastFrameGate& beforeLastFrame = {});

// "Update is completed.", "CRC error. File damaged.", ...
std::string transferText(const TransferResult& result, const SerialLink& link);
// Where the run ended, for the detail under the main text.
std::string transferDetail(const TransferResult& result);
// One transmission, answered `sinceSent` after it went out, for a trace:
// "frame 2 offset 202 size 202 answer 0x11 rejects 0 3.214 ms".
std::string traceLine(const TransferState& state, std::chrono::steady_clock::duration sinceSent);

} // namespace j4
