#include "buffered_link.h"

namespace j4 {

ByteRead BufferedLink::readByte() {
    if (!isOpen())
        return {LinkError::NotOpen};
    if (buffered() == 0) {
        clearReceived();
        if (const LinkError error = receive(answerWait()); error != LinkError::None)
            return {error};
        if (buffered() == 0)
            return {LinkError::NoAnswer};
    }
    return {LinkError::None, received_[consumed_++]};
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
        if (const LinkError error = receive(wait); error != LinkError::None)
            return {error};
    }
    return {LinkError::None, waiting()};
}

} // namespace j4
