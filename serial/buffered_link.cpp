#include "buffered_link.h"

#include <algorithm>

namespace j4 {

LinkError BufferedLink::takeIn(std::chrono::milliseconds wait) {
    const std::size_t before = received_.size();
    const LinkError error = receive(wait);
    if (received_.size() > before)
        receivedAt_ = Clock::now();
    return error;
}

ByteRead BufferedLink::readByte() {
    if (!isOpen())
        return {LinkError::NotOpen};
    if (buffered() == 0) {
        clearReceived();
        if (const LinkError error = takeIn(answerWait()); error != LinkError::None)
            return {error};
        if (buffered() == 0) {
            noAnswer();
            return {LinkError::NoAnswer};
        }
    }
    const auto took =
        std::chrono::duration_cast<std::chrono::microseconds>(receivedAt_ - frameLeavesAt_);
    return {LinkError::None, received_[consumed_++], std::max(took, std::chrono::microseconds{0})};
}

WaitingBytes BufferedLink::bytesWaiting(std::chrono::milliseconds wait) {
    if (!isOpen())
        return {LinkError::NotOpen};
    const auto waiting = [this] { return buffered() + bytesInDriver().value_or(0); };
    if (buffered() == 0) {
        const auto inDriver = bytesInDriver();
        if (inDriver && (*inDriver > 0 || wait.count() <= 0))
            return {LinkError::None, *inDriver};
        // Nothing known to be there: take in what comes within the wait.
        if (const LinkError error = takeIn(wait); error != LinkError::None)
            return {error};
    }
    return {LinkError::None, waiting()};
}

} // namespace j4
