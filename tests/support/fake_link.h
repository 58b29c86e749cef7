#pragma once
// A scripted SerialLink on a virtual clock. The device's bytes are put on the
// line at chosen moments: an answer some time after a write, a byte nobody
// asked for, a byte waiting before the run. The line can hang up, the open
// can fail. Every write is recorded so tests can compare what went out.

#include "serial_link.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace j4::testing {

class FakeLink : public SerialLink {
public:
    using ms = std::chrono::milliseconds;

    // The device answers the next write with `byte`, `delay` after it.
    void answer(std::uint8_t byte, ms delay = ms{0}) { replies_.push_back({byte, delay}); }
    void answers(std::initializer_list<std::uint8_t> bytes);
    // Bytes that answer no frame: `delay` after the n-th write (1-based).
    void surplusAfterWrite(int n, std::vector<std::uint8_t> bytes, ms delay = ms{0});
    // A byte already waiting before the run (flushInput discards it).
    void staleByte(std::uint8_t byte) { line_.push_back({ms{-1}, byte}); }
    // The line drops when the n-th write (1-based) starts.
    void hangUpAtWrite(int n) { hangUpAtWrite_ = n; }
    // The line drops `delay` after the n-th write, once what came before it
    // has been read (a device that restarts after its answer).
    void hangUpAfterWrite(int n, ms delay) { dropAfter_ = {n, delay}; }
    void failOpen(LinkError error) { openResult_ = error; }
    // The open fails in this kind of link's own words.
    void failOpenSpecifically(std::string text) { specificText_ = std::move(text); }
    // What the adapter says about itself once open.
    std::string note;

    // What happened.
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<std::string> openedDevices;
    int flushes = 0;
    int closes = 0;
    bool isOpen = false;
    ms now{0};

    LinkError open(const std::string& device) override;
    void flushInput() override;
    LinkError write(std::span<const std::uint8_t> bytes) override;
    ByteRead readByte() override;
    WaitingBytes bytesWaiting(ms wait) override;
    void close() override;
    std::string adapterNote() const override { return isOpen ? note : std::string(); }

private:
    struct Reply {
        std::uint8_t byte;
        ms delay;
    };
    struct OnLine {
        ms arrives;
        std::uint8_t byte;
    };
    void put(ms arrives, std::uint8_t byte);
    std::size_t arrivedBy(ms time) const;

    std::deque<Reply> replies_;
    std::map<int, std::vector<std::pair<ms, std::vector<std::uint8_t>>>> surplus_;
    std::deque<OnLine> line_; // ordered by arrival
    ms lastWriteAt_{0};
    int hangUpAtWrite_ = 0;
    std::pair<int, ms> dropAfter_{0, ms{0}};
    std::optional<ms> dropsAt_;
    bool hungUp_ = false;
    // True, with the clock moved there, when the line drops before `until`
    // and before the next byte on it.
    bool dropsBefore(ms until);
    LinkError openResult_ = LinkError::None;
    std::string specificText_;
};

} // namespace j4::testing
