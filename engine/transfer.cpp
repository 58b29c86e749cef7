#include "transfer.h"

#include "update_file.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

namespace j4 {
namespace {

TransferResult ended(TransferOutcome outcome, const TransferState& state,
                     LinkError error = LinkError::None) {
    return {outcome, error, state};
}

std::string byteCount(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// The device's answer times in this run, to size the watch for stray bytes.
class AnswerTimes {
public:
    using us = std::chrono::microseconds;

    // True when `time` is far below every earlier answer time of a slow
    // device: likely a byte nobody asked for, with the real answer to come.
    bool suspect(us time) const {
        return count_ >= 2 && shortest_ >= kSlowDevice && time * 4 < shortest_;
    }
    // Whether any answer of the run was held suspect.
    bool sawSuspect() const { return sawSuspect_; }
    void noteSuspect() { sawSuspect_ = true; }
    void add(us time) {
        shortest_ = count_ == 0 ? time : std::min(shortest_, time);
        longest_ = std::max(longest_, time);
        ++count_;
    }
    std::chrono::milliseconds guard(std::chrono::milliseconds answerTimeout) const {
        const auto twice = std::chrono::ceil<std::chrono::milliseconds>(longest_ * 2);
        return std::max(kSurplusGuard, std::min(twice, answerTimeout));
    }

private:
    std::size_t count_ = 0;
    us shortest_{0};
    us longest_{0};
    bool sawSuspect_ = false;
};

// Watches for bytes that answer no frame for `wait`; true when any came.
std::optional<TransferResult> surplusWithin(SerialLink& link, std::chrono::milliseconds wait,
                                            TransferState& s) {
    const WaitingBytes late = link.bytesWaiting(wait);
    if (late.error != LinkError::None)
        return ended(TransferOutcome::LinkFailed, s, late.error);
    if (late.count == 0)
        return std::nullopt;
    s.surplusBytes = late.count;
    return ended(TransferOutcome::AnswersOutOfStep, s);
}

} // namespace

namespace {

using Notify = std::function<void(TransferEvent)>;

// One transmission of `frame` and its answer, in s.lastAnswer; an end when
// the transfer cannot go on.
std::optional<TransferResult> transmit(std::span<const std::uint8_t> frame, SerialLink& link,
                                       TransferState& s, AnswerTimes& times, const Notify& notify,
                                       const std::atomic<bool>* stop) {
    if (stop != nullptr && stop->load())
        return ended(TransferOutcome::LinkFailed, s, LinkError::Interrupted);
    // Anything already waiting answers no frame we sent: pairing it with the
    // next one would put every later answer out of step.
    if (auto outOfStep = surplusWithin(link, std::chrono::milliseconds{0}, s))
        return outOfStep;
    notify(TransferEvent::Sending);
    if (const LinkError error = link.write(frame); error != LinkError::None)
        return ended(TransferOutcome::LinkFailed, s, error);
    ++s.transmissions;
    const ByteRead answer = link.readByte();
    if (answer.error != LinkError::None)
        return ended(TransferOutcome::LinkFailed, s, answer.error);
    s.lastAnswer = answer.byte;
    notify(TransferEvent::Answered);
    const bool early = times.suspect(answer.answerTime);
    times.add(answer.answerTime);
    if (early) {
        times.noteSuspect();
        if (auto outOfStep = surplusWithin(link, times.guard(link.answerTimeout()), s))
            return outOfStep;
    }
    return std::nullopt;
}

// Sends the frame at s.frameOffset until it is accepted; an end when it is
// not.
std::optional<TransferResult> sendFrame(std::span<const std::uint8_t> image, SerialLink& link,
                                        TransferState& s, AnswerTimes& times, const Notify& notify,
                                        const std::atomic<bool>* stop, const LastFrameGate& gate) {
    const std::size_t left = image.size() - s.frameOffset;
    s.frameSize = left < 2 ? left : std::min(frameSizeAt(image, s.frameOffset), left);
    s.frameNumber = s.acceptedFrames + 1;
    const auto frame = image.subspan(s.frameOffset, s.frameSize);
    if (gate && s.frameSize == left && !gate())
        return ended(TransferOutcome::Withheld, s);
    for (;;) {
        if (auto end = transmit(frame, link, s, times, notify, stop))
            return end;
        if (s.lastAnswer == kAcceptByte) {
            s.acceptedBytes += s.frameSize;
            ++s.acceptedFrames;
            s.rejectsInARow = 0;
            s.frameOffset += s.frameSize;
            return std::nullopt;
        }
        if (s.lastAnswer != kRejectByte)
            return ended(TransferOutcome::UnexpectedAnswer, s);
        ++s.rejects;
        if (++s.rejectsInARow >= kMaxRejectsInARow)
            return ended(TransferOutcome::RejectedFourTimes, s);
    }
}

// After the last accept: the last answer is only the last one if nothing
// follows it.
TransferResult watchTheEnd(SerialLink& link, TransferState& s, const AnswerTimes& times) {
    s.allFramesSent = true;
    const WaitingBytes late = link.bytesWaiting(times.guard(link.answerTimeout()));
    // A device that drops off the line right after its last accept (it
    // restarts into the new firmware) took the update, as long as its
    // answers were in step all along: one byte per transmission, none held
    // suspect. Otherwise what it would still have sent is unknown.
    if (late.error == LinkError::HungUp && !times.sawSuspect()) {
        s.lineGoneAfterLastAccept = true;
        return ended(TransferOutcome::Completed, s);
    }
    if (late.error != LinkError::None)
        return ended(TransferOutcome::LinkFailed, s, late.error);
    if (late.count > 0) {
        s.surplusBytes = late.count;
        return ended(TransferOutcome::AnswersOutOfStep, s);
    }
    return ended(TransferOutcome::Completed, s);
}

} // namespace

TransferResult runTransfer(std::span<const std::uint8_t> image, SerialLink& link,
                           const TransferListener& listener, const std::atomic<bool>* stop,
                           const LastFrameGate& beforeLastFrame) {
    TransferState s;
    s.totalBytes = image.size();
    AnswerTimes times;
    const Notify notify = [&](TransferEvent event) {
        if (listener)
            listener(event, s);
    };
    while (s.frameOffset < image.size())
        if (auto end = sendFrame(image, link, s, times, notify, stop, beforeLastFrame))
            return *end;
    if (s.transmissions > 0)
        return watchTheEnd(link, s, times);
    return ended(TransferOutcome::Completed, s);
}

std::string transferText(const TransferResult& result, const SerialLink& link) {
    switch (result.outcome) {
    case TransferOutcome::Completed:
        return "Update is completed.";
    case TransferOutcome::LinkFailed:
        return link.errorText(result.linkError);
    case TransferOutcome::UnexpectedAnswer:
    case TransferOutcome::AnswersOutOfStep:
        return "Communication error.";
    case TransferOutcome::RejectedFourTimes:
        return "CRC error. File damaged.";
    case TransferOutcome::Withheld:
        return "The update was stopped before its last frame.";
    }
    return "Communication error.";
}

std::string transferDetail(const TransferResult& result) {
    const TransferState& s = result.state;
    const std::string accepted = std::to_string(s.acceptedBytes) + " of " +
                                 std::to_string(s.totalBytes) + " bytes were accepted.";
    if (result.completed()) {
        const std::string all = "All " + std::to_string(s.acceptedFrames) + " frames (" +
                                std::to_string(s.acceptedBytes) + " bytes) were accepted";
        if (s.lineGoneAfterLastAccept)
            return all + "; then the line went away, as a device that restarts into its new "
                         "firmware makes it.";
        return all + ".";
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
        // Which answer went with which frame is not known any more: an echo
        // or a stray byte may have stood in for an accept.
        const std::string sent = "The device sent " + byteCount(s.surplusBytes) + " that " +
                                 (s.surplusBytes == 1 ? "answers" : "answer") + " no frame, ";
        const std::string atMost = "At most " + accepted;
        if (s.allFramesSent)
            return sent + "after the answer to the last frame. " + atMost;
        return sent + "before " + frame + ". " + atMost;
    }
    default:
        // Every frame had its accept, but an earlier answer was held suspect:
        // whether those accepts were the device's own is not known.
        if (s.allFramesSent)
            return "Every frame was answered, then the line failed while the end was watched. "
                   "At most " +
                   accepted;
        return "The transfer stopped at " + frame + ". " + accepted;
    }
}

} // namespace j4

namespace j4 {

std::string traceLine(const TransferState& state, std::chrono::steady_clock::duration sinceSent) {
    char line[160];
    std::snprintf(
        line, sizeof line, "frame %zu offset %zu size %zu answer 0x%02X rejects %d %.3f ms",
        state.frameNumber, state.frameOffset, state.frameSize, state.lastAnswer,
        state.rejectsInARow, std::chrono::duration<double, std::milli>(sinceSent).count());
    return line;
}

} // namespace j4
