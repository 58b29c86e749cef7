#pragma once
// Stop-and-wait transfer of the frame image: one frame out, one answer byte
// back, a rejected frame sent again until the fourth reject in a row.

#include "frame_image.h"
#include "serial_link.h"

#include <cstdint>
#include <functional>
#include <string>

namespace j4 {

inline constexpr std::uint8_t ACK_BYTE = 0x11;
inline constexpr std::uint8_t NAK_BYTE = 0x22;
inline constexpr std::uint8_t MAX_REJECTS = 4;

// The transfer's counters; they outlive a run so the caller can report where
// it ended, and are zeroed between attempts.
struct TransferCounters {
    std::int32_t index = 0;     // offset of the frame being sent
    std::int32_t frameSize = 0; // its size on the wire
    std::int32_t bytesSent = 0; // bytes of accepted frames
    std::uint8_t retries = 0;   // rejects in a row of the current frame
    std::int32_t ComErr = 0;    // last read result: a byte or a negative code
    std::uint8_t receivedByte = 0;
    std::int32_t framesAccepted = 0;
};

struct TransferOutcome {
    enum class Kind {
        Completed,          // every frame accepted
        ReadFailure,        // the port failed or the device stayed silent; code in ComErr
        CommunicationError, // an answer other than ACK_BYTE or NAK_BYTE
        CrcError,           // the MAX_REJECTS-th reject in a row
    };
    Kind kind = Kind::Completed;
    std::int32_t ComErr = 0;

    bool completed() const { return kind == Kind::Completed; }
};

using ProgressSink = std::function<void(int percent)>;

// The link must be open and its input flushed. Progress (0..99) is reported
// before every transmission, resends included; the run never reports 100.
TransferOutcome runTransfer(const FrameImage& image, SerialLink& link, TransferCounters& counters,
                            const ProgressSink& progress);

// The operator's text for an outcome ("Update is completed.", ...).
std::string outcomeText(const TransferOutcome& outcome, const SerialLink& link);

// Where the run ended, for the detail text of the result message.
std::string outcomeDetail(const TransferOutcome& outcome, const TransferCounters& counters,
                          const FrameImage& image);

} // namespace j4
