#include "fake_link.h"

#include <algorithm>

namespace j4::testing {

void FakeLink::answers(std::initializer_list<std::uint8_t> bytes) {
    for (auto b : bytes)
        answer(b);
}

int FakeLink::open(int portNumber) {
    openedPorts.push_back(portNumber);
    if (openResult_ < 0)
        return openResult_;
    isOpen = true;
    hungUp_ = false;
    return 0;
}

void FakeLink::flushInput() {
    ++flushes;
    std::erase_if(inbox_, [](const Pending& p) { return p.arrived; });
}

int FakeLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen)
        return kNotOpen;
    if (hangUpAtWrite_ > 0 && static_cast<int>(writes.size()) + 1 >= hangUpAtWrite_)
        hungUp_ = true;
    if (hungUp_)
        return kHungUp;
    writes.emplace_back(bytes.begin(), bytes.end());
    return static_cast<int>(bytes.size());
}

int FakeLink::readByte() {
    if (!isOpen)
        return kNotOpen;
    if (hungUp_)
        return kHungUp;
    if (inbox_.empty()) {
        now += timeout;
        return kTimeout;
    }
    Pending& next = inbox_.front();
    if (next.delay > timeout) {
        // Too late for this read; it stays on the line and is taken as the
        // answer to whatever is read next.
        now += timeout;
        next.delay -= timeout;
        return kTimeout;
    }
    now += next.delay;
    const std::uint8_t byte = next.byte;
    inbox_.pop_front();
    return byte;
}

void FakeLink::close() {
    ++closes;
    isOpen = false;
}

std::string FakeLink::errorText(int code) const {
    switch (code) {
    case kTimeout:
        return "fake: no answer";
    case kHungUp:
        return "fake: hung up";
    case kNotOpen:
        return "fake: not open";
    default:
        return "fake: error " + std::to_string(code);
    }
}

} // namespace j4::testing
