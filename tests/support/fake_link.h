#pragma once
// A scripted SerialLink that owns a virtual clock: answers can come at once,
// late, never (the read times out), or the line can hang up. Every write is
// recorded so tests can compare what went out with the image.

#include "serial_link.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

namespace j4::testing {

class FakeLink : public SerialLink {
public:
    using ms = std::chrono::milliseconds;

    static constexpr int kTimeout = -101;
    static constexpr int kHungUp = -102;
    static constexpr int kNotOpen = -103;

    // Script of what the device does.
    void answer(std::uint8_t byte, ms delay = ms{0}) { inbox_.push_back({byte, delay, false}); }
    void answers(std::initializer_list<std::uint8_t> bytes);
    // A byte that was already waiting before the run (flushInput discards it).
    void staleByte(std::uint8_t byte) { inbox_.push_back({byte, ms{0}, true}); }
    // The line drops when the n-th write (1-based) starts.
    void hangUpAtWrite(int n) { hangUpAtWrite_ = n; }
    void failOpen(int code) { openResult_ = code; }

    ms timeout{10000};

    // What happened.
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<int> openedPorts;
    int flushes = 0;
    int closes = 0;
    bool isOpen = false;
    ms now{0};

    // SerialLink
    int open(int portNumber) override;
    void flushInput() override;
    int write(std::span<const std::uint8_t> bytes) override;
    int readByte() override;
    void close() override;
    std::string errorText(int code) const override;

private:
    struct Pending {
        std::uint8_t byte;
        ms delay;
        bool arrived;
    };
    std::deque<Pending> inbox_;
    int hangUpAtWrite_ = 0;
    bool hungUp_ = false;
    int openResult_ = 0;
};

} // namespace j4::testing
