#include "transfer.h"

#include <algorithm>
#include <cstdio>

namespace j4 {

TransferOutcome runTransfer(const FrameImage& image, SerialLink& link, TransferCounters& counters,
                            const ProgressSink& progress) {
    // Whatever the length bytes say, nothing past the loaded data (and never
    // past the array) is read: a frame that overruns is cut at the data's end.
    const std::int32_t size = std::clamp(image.bufferSize, 0, FRAME_IMAGE_CAPACITY);
    counters.index = 0;
    while (counters.index < size) {
        const std::int32_t left = size - counters.index;
        counters.frameSize = left < 2 ? left : std::min(frameSizeAt(image, counters.index), left);
        const std::span<const std::uint8_t> frame(image.buffer.data() + counters.index,
                                                  static_cast<std::size_t>(counters.frameSize));
        for (;;) {
            if (progress)
                progress(static_cast<int>(counters.bytesSent * 100 / size));
            const int written = link.write(frame);
            if (written < 0) {
                // A frame that did not go out cannot be answered; report the
                // port's own failure instead of waiting out the time-out.
                counters.ComErr = written;
                return {TransferOutcome::Kind::ReadFailure, written};
            }
            counters.ComErr = link.readByte();
            counters.receivedByte = static_cast<std::uint8_t>(counters.ComErr & 0xFF);
            if (counters.ComErr < 0)
                return {TransferOutcome::Kind::ReadFailure, counters.ComErr};
            if (counters.receivedByte == ACK_BYTE) {
                counters.bytesSent += counters.frameSize;
                counters.retries = 0;
                counters.index += counters.frameSize;
                ++counters.framesAccepted;
                break;
            }
            if (counters.receivedByte != NAK_BYTE)
                return {TransferOutcome::Kind::CommunicationError, counters.ComErr};
            if (++counters.retries >= MAX_REJECTS)
                return {TransferOutcome::Kind::CrcError, counters.ComErr};
        }
    }
    return {TransferOutcome::Kind::Completed, counters.ComErr};
}

std::string outcomeText(const TransferOutcome& outcome, const SerialLink& link) {
    switch (outcome.kind) {
    case TransferOutcome::Kind::Completed:
        return "Update is completed.";
    case TransferOutcome::Kind::ReadFailure:
        return link.errorText(outcome.ComErr);
    case TransferOutcome::Kind::CommunicationError:
        return "Communication error.";
    case TransferOutcome::Kind::CrcError:
        return "CRC error. File damaged.";
    }
    return "Communication error.";
}

std::string outcomeDetail(const TransferOutcome& outcome, const TransferCounters& counters,
                          const FrameImage& image) {
    const std::string accepted = std::to_string(counters.bytesSent) + " of " +
                                 std::to_string(image.bufferSize) + " bytes were accepted.";
    if (outcome.completed()) {
        return "All " + std::to_string(counters.framesAccepted) + " frames (" +
               std::to_string(counters.bytesSent) + " bytes) were accepted.";
    }
    const std::string frame = "frame " + std::to_string(counters.framesAccepted + 1) + " (offset " +
                              std::to_string(counters.index) + ", " +
                              std::to_string(counters.frameSize) + " bytes)";
    switch (outcome.kind) {
    case TransferOutcome::Kind::CrcError:
        return "The device rejected " + frame + " " + std::to_string(MAX_REJECTS) +
               " times in a row. " + accepted;
    case TransferOutcome::Kind::CommunicationError: {
        char answer[8];
        std::snprintf(answer, sizeof answer, "0x%02X", counters.receivedByte);
        return std::string("The device answered ") + answer + " to " + frame +
               " instead of 0x11 or 0x22. " + accepted;
    }
    default:
        return "The transfer stopped at " + frame + ". " + accepted;
    }
}

} // namespace j4
