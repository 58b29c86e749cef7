#include "transfer.h"

#include "update_file.h"

#include <algorithm>
#include <cstdio>

namespace j4 {
namespace {

TransferResult ended(TransferOutcome outcome, const TransferState& state,
                     LinkError error = LinkError::None) {
    return {outcome, error, state};
}

std::string byteCount(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

} // namespace

TransferResult runTransfer(std::span<const std::uint8_t> image, SerialLink& link,
                           const TransferListener& listener, const std::atomic<bool>* stop) {
    TransferState s;
    s.totalBytes = image.size();
    const auto notify = [&](TransferEvent event) {
        if (listener)
            listener(event, s);
    };
    while (s.frameOffset < image.size()) {
        const std::size_t left = image.size() - s.frameOffset;
        s.frameSize = left < 2 ? left : std::min(frameSizeAt(image, s.frameOffset), left);
        s.frameNumber = s.acceptedFrames + 1;
        const auto frame = image.subspan(s.frameOffset, s.frameSize);
        for (;;) {
            if (stop != nullptr && stop->load())
                return ended(TransferOutcome::LinkFailed, s, LinkError::Interrupted);
            // Anything already waiting answers no frame we sent: pairing it
            // with the next one would put every later answer out of step.
            const WaitingBytes waiting = link.bytesWaiting(std::chrono::milliseconds{0});
            if (waiting.error != LinkError::None)
                return ended(TransferOutcome::LinkFailed, s, waiting.error);
            if (waiting.count > 0) {
                s.surplusBytes = waiting.count;
                return ended(TransferOutcome::AnswersOutOfStep, s);
            }
            notify(TransferEvent::Sending);
            if (const LinkError error = link.write(frame); error != LinkError::None)
                return ended(TransferOutcome::LinkFailed, s, error);
            ++s.transmissions;
            const ByteRead answer = link.readByte();
            if (answer.error != LinkError::None)
                return ended(TransferOutcome::LinkFailed, s, answer.error);
            s.lastAnswer = answer.byte;
            notify(TransferEvent::Answered);
            if (answer.byte == kAcceptByte) {
                s.acceptedBytes += s.frameSize;
                ++s.acceptedFrames;
                s.rejectsInARow = 0;
                s.frameOffset += s.frameSize;
                break;
            }
            if (answer.byte != kRejectByte)
                return ended(TransferOutcome::UnexpectedAnswer, s);
            ++s.rejects;
            if (++s.rejectsInARow >= kMaxRejectsInARow)
                return ended(TransferOutcome::RejectedFourTimes, s);
        }
    }
    if (s.transmissions > 0) {
        // The last answer is only the last one if nothing follows it.
        s.allFramesSent = true;
        const WaitingBytes late = link.bytesWaiting(kSurplusGuard);
        if (late.error != LinkError::None)
            return ended(TransferOutcome::LinkFailed, s, late.error);
        if (late.count > 0) {
            s.surplusBytes = late.count;
            return ended(TransferOutcome::AnswersOutOfStep, s);
        }
    }
    return ended(TransferOutcome::Completed, s);
}

std::string transferText(const TransferResult& result, std::chrono::milliseconds answerTimeout) {
    switch (result.outcome) {
    case TransferOutcome::Completed:
        return "Update is completed.";
    case TransferOutcome::LinkFailed:
        return linkErrorText(result.linkError, answerTimeout);
    case TransferOutcome::UnexpectedAnswer:
    case TransferOutcome::AnswersOutOfStep:
        return "Communication error.";
    case TransferOutcome::RejectedFourTimes:
        return "CRC error. File damaged.";
    }
    return "Communication error.";
}

std::string transferDetail(const TransferResult& result) {
    const TransferState& s = result.state;
    const std::string accepted = std::to_string(s.acceptedBytes) + " of " +
                                 std::to_string(s.totalBytes) + " bytes were accepted.";
    if (result.completed()) {
        return "All " + std::to_string(s.acceptedFrames) + " frames (" +
               std::to_string(s.acceptedBytes) + " bytes) were accepted.";
    }
    const std::string frame = "frame " + std::to_string(s.frameNumber) + " (offset " +
                              std::to_string(s.frameOffset) + ", " + std::to_string(s.frameSize) +
                              " bytes)";
    switch (result.outcome) {
    case TransferOutcome::RejectedFourTimes:
        return "The device rejected " + frame + " " + std::to_string(kMaxRejectsInARow) +
               " times in a row. " + accepted;
    case TransferOutcome::UnexpectedAnswer: {
        char answer[8];
        std::snprintf(answer, sizeof answer, "0x%02X", s.lastAnswer);
        return std::string("The device answered ") + answer + " to " + frame +
               " instead of 0x11 or 0x22. " + accepted;
    }
    case TransferOutcome::AnswersOutOfStep: {
        const std::string sent = "The device sent " + byteCount(s.surplusBytes) + " that " +
                                 (s.surplusBytes == 1 ? "answers" : "answer") + " no frame, ";
        if (s.allFramesSent)
            return sent + "after the last frame was accepted. " + accepted;
        return sent + "before " + frame + ". " + accepted;
    }
    default:
        return "The transfer stopped at " + frame + ". " + accepted;
    }
}

} // namespace j4
