#include "fake_link.h"

#include <algorithm>

namespace j4::testing {

void FakeLink::answers(std::initializer_list<std::uint8_t> bytes) {
    for (auto b : bytes)
        answer(b);
}

void FakeLink::surplusAfterWrite(int n, std::vector<std::uint8_t> bytes, ms delay) {
    surplus_[n].emplace_back(delay, std::move(bytes));
}

void FakeLink::put(ms arrives, std::uint8_t byte) {
    const auto at = std::upper_bound(line_.begin(), line_.end(), arrives,
                                     [](ms t, const OnLine& b) { return t < b.arrives; });
    line_.insert(at, {arrives, byte});
}

std::size_t FakeLink::arrivedBy(ms time) const {
    return static_cast<std::size_t>(std::count_if(
        line_.begin(), line_.end(), [&](const OnLine& b) { return b.arrives <= time; }));
}

LinkError FakeLink::open(const std::string& device) {
    openedDevices.push_back(device);
    if (!specificText_.empty())
        return failSpecifically(specificText_);
    if (openResult_ != LinkError::None)
        return openResult_;
    isOpen = true;
    hungUp_ = false;
    return LinkError::None;
}

void FakeLink::flushInput() {
    ++flushes;
    std::erase_if(line_, [&](const OnLine& b) { return b.arrives <= now; });
}

LinkError FakeLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen)
        return LinkError::NotOpen;
    if (hangUpAtWrite_ > 0 && static_cast<int>(writes.size()) + 1 >= hangUpAtWrite_)
        hungUp_ = true;
    if (hungUp_)
        return LinkError::HungUp;
    writes.emplace_back(bytes.begin(), bytes.end());
    lastWriteAt_ = now;
    if (dropAfter_.first == static_cast<int>(writes.size()))
        dropsAt_ = now + dropAfter_.second;
    if (!replies_.empty()) {
        put(now + replies_.front().delay, replies_.front().byte);
        replies_.pop_front();
    }
    if (const auto it = surplus_.find(static_cast<int>(writes.size())); it != surplus_.end())
        for (const auto& [delay, extra] : it->second)
            for (auto b : extra)
                put(now + delay, b);
    return LinkError::None;
}

ByteRead FakeLink::readByte() {
    if (!isOpen)
        return {LinkError::NotOpen};
    if (hungUp_ || dropsBefore(now + answerTimeout()))
        return {LinkError::HungUp};
    if (line_.empty() || line_.front().arrives > now + answerTimeout()) {
        // Too late for this read: a late byte stays on the line.
        now += answerTimeout();
        return {LinkError::NoAnswer};
    }
    now = std::max(now, line_.front().arrives);
    const std::uint8_t byte = line_.front().byte;
    line_.pop_front();
    return {LinkError::None, byte, std::max(ms{0}, now - lastWriteAt_)};
}

WaitingBytes FakeLink::bytesWaiting(ms wait) {
    if (!isOpen)
        return {LinkError::NotOpen};
    if (hungUp_)
        return {LinkError::HungUp};
    if (const std::size_t count = arrivedBy(now); count > 0 || wait.count() <= 0)
        return {LinkError::None, count};
    if (dropsBefore(now + wait))
        return {LinkError::HungUp};
    if (line_.empty() || line_.front().arrives > now + wait) {
        now += wait;
        return {LinkError::None, 0};
    }
    now = line_.front().arrives;
    return {LinkError::None, arrivedBy(now)};
}

bool FakeLink::dropsBefore(ms until) {
    if (!dropsAt_ || *dropsAt_ > until || (!line_.empty() && line_.front().arrives <= *dropsAt_))
        return false;
    now = std::max(now, *dropsAt_);
    hungUp_ = true;
    return true;
}

void FakeLink::close() {
    ++closes;
    isOpen = false;
}

} // namespace j4::testing
