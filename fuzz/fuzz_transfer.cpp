// The transfer against a device whose every move comes from the fuzz input:
// which byte it answers, whether in time, late or never, bytes nobody asked
// for before the next frame or after the last, a hang-up at a write, or one a
// moment after a prompt accept (a device that restarts into new firmware).
//
// Invariants: "completed" only when every frame was accepted exactly once, in
// order, and the answers were in step: the device sent exactly one byte per
// transmission up to the end of the guard, and up to the time its own answer
// to the last frame came where its answer times were seen (a byte that stands in for a lost
// answer looks like that answer; no host can tell them apart), both only up to
// the moment the line went away, if it did (nothing after it can be seen). No frame goes
// out more than four times in a row, and the image is never read past its end
// (the sanitizers see to that).

#include "transfer.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace {

using ms = std::chrono::milliseconds;

class Script {
public:
    explicit Script(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint8_t next() { return at_ < data_.size() ? data_[at_++] : 0x11; }
    bool empty() const { return at_ >= data_.size(); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

class ScriptedLink final : public j4::SerialLink {
public:
    explicit ScriptedLink(Script& script) : script_(script) {}

    struct OnLine {
        ms arrives;
        std::uint8_t byte;
    };

    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<std::uint8_t> answersRead;
    bool surplusSent = false;

    j4::LinkError open(const std::string&) override { return j4::LinkError::None; }
    void flushInput() override {}

    j4::LinkError write(std::span<const std::uint8_t> bytes) override {
        const std::uint8_t move = script_.next();
        if (move == 0xFF || (dropsAt_ && now_ >= *dropsAt_))
            return j4::LinkError::HungUp;
        writes.emplace_back(bytes.begin(), bytes.end());
        lastWriteAt_ = now_;
        if (move == 0xFE) {
            // Accepts at once, and the line goes away a moment later.
            put(now_, j4::kAcceptByte);
            ownAnswerDue_ = now_;
            dropsAt_ = now_ + ms{1 + script_.next()};
            return j4::LinkError::None;
        }
        // Low bits: the answer; high bits: when it comes.
        const std::uint8_t answer = (move & 0x3) == 0   ? j4::kAcceptByte
                                    : (move & 0x3) == 1 ? j4::kRejectByte
                                    : (move & 0x3) == 2 ? j4::kAcceptByte
                                                        : script_.next();
        switch ((move >> 2) & 0x7) {
        case 0: // silent
            ownAnswerDue_.reset();
            break;
        case 1: // late, past the answer time-out
            put(now_ + answerTimeout() + ms{1 + (move >> 5)}, answer);
            ownAnswerDue_.reset();
            break;
        case 2: // slow: up to 70 ms, as a device that checks a frame before it answers
            put(now_ + ms{10 * (move >> 5)}, answer);
            ownAnswerDue_ = now_ + ms{10 * (move >> 5)};
            break;
        default:
            put(now_ + ms{move >> 5}, answer);
            ownAnswerDue_ = now_ + ms{move >> 5};
            break;
        }
        if (move & 0x80) {
            // A byte that answers nothing, sooner or later.
            surplusSent = true;
            const ms delay{script_.next()};
            put(now_ + delay, script_.next());
        }
        return j4::LinkError::None;
    }

    j4::ByteRead readByte() override {
        if (drops(now_ + answerTimeout()))
            return {j4::LinkError::HungUp};
        if (line_.empty() || line_.front().arrives > now_ + answerTimeout()) {
            now_ += answerTimeout();
            return {j4::LinkError::NoAnswer};
        }
        const OnLine b = line_.front();
        line_.pop_front();
        now_ = std::max(now_, b.arrives);
        answersRead.push_back(b.byte);
        longestSeen_ = std::max(longestSeen_, now_ - lastWriteAt_);
        return {j4::LinkError::None, b.byte, now_ - lastWriteAt_};
    }

    j4::WaitingBytes bytesWaiting(ms wait) override {
        if (drops(now_ + wait))
            return {j4::LinkError::HungUp};
        std::size_t count = 0;
        for (const auto& b : line_)
            count += b.arrives <= now_ + wait ? 1 : 0;
        if (count > 0)
            now_ = std::max(now_, line_.front().arrives);
        else
            now_ += wait;
        return {j4::LinkError::None, count};
    }

    void close() override {}

    // How far the host could see: up to the end of its watch and the due
    // time of the device's own last answer, but never past the line's end.
    ms horizon() const {
        const ms seen = std::max(now_, lastAnswerDue().value_or(ms{0}));
        return dropsAt_ ? std::min(seen, *dropsAt_) : seen;
    }
    // Bytes the device has sent by `time`, read or not.
    std::size_t sentBy(ms time) const {
        std::size_t count = answersRead.size();
        for (const auto& b : line_)
            count += b.arrives <= time ? 1 : 0;
        return count;
    }
    ms now() const { return now_; }
    // When the device's own answer to the last frame comes, if it answers
    // within the time-out and no later than twice the longest answer time
    // the host has seen: a device whose every slow answer a stray displaced
    // looks like a fast one, and no host can tell.
    std::optional<ms> lastAnswerDue() const {
        if (!ownAnswerDue_ || *ownAnswerDue_ - lastWriteAt_ > 2 * longestSeen_)
            return std::nullopt;
        return ownAnswerDue_;
    }

private:
    // True, with the clock moved there, when the line goes away before
    // `until` and before the next byte on it.
    bool drops(ms until) {
        if (!dropsAt_ || *dropsAt_ > until ||
            (!line_.empty() && line_.front().arrives <= *dropsAt_))
            return false;
        now_ = std::max(now_, *dropsAt_);
        return true;
    }
    void put(ms arrives, std::uint8_t byte) {
        auto at = line_.begin();
        while (at != line_.end() && at->arrives <= arrives)
            ++at;
        line_.insert(at, {arrives, byte});
    }

    Script& script_;
    std::deque<OnLine> line_;
    ms now_{0};
    ms lastWriteAt_{0};
    std::optional<ms> ownAnswerDue_;
    std::optional<ms> dropsAt_;
    ms longestSeen_{0};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    // The image: up to 16 frames of up to 15 content bytes, one byte each;
    // occasionally a frame that claims more than the data holds.
    const std::size_t frames = data[0] % 17;
    std::vector<std::uint8_t> image;
    std::size_t at = 1;
    for (std::size_t f = 0; f < frames && at < size; ++f, ++at) {
        const std::uint8_t shape = data[at];
        const std::size_t content = shape & 0x0F;
        image.push_back(0);
        image.push_back(static_cast<std::uint8_t>((shape & 0x80) ? content + 9 : content));
        for (std::size_t i = 0; i < content; ++i)
            image.push_back(static_cast<std::uint8_t>(f));
    }
    if (at < size && data[at] == 0xEE)
        image.push_back(0x00); // a lone length byte last
    Script script({data + at, size - at});
    ScriptedLink link(script);
    link.setAnswerTimeout(ms{100});
    std::vector<std::size_t> sentOffsets;
    const j4::TransferResult result =
        j4::runTransfer(image, link, [&](j4::TransferEvent event, const j4::TransferState& s) {
            if (event == j4::TransferEvent::Sending)
                sentOffsets.push_back(s.frameOffset);
        });

    // Never more than four transmissions of a frame.
    std::size_t inARow = 0;
    for (std::size_t i = 0; i < sentOffsets.size(); ++i) {
        inARow = i > 0 && sentOffsets[i] == sentOffsets[i - 1] ? inARow + 1 : 1;
        if (inARow > static_cast<std::size_t>(j4::kMaxRejectsInARow))
            std::abort();
    }
    if (result.state.rejectsInARow > j4::kMaxRejectsInARow)
        std::abort();
    if (result.state.transmissions != link.writes.size())
        std::abort();
    if (result.completed()) {
        // Nothing more than one byte per transmission, up to the end of the
        // watch and up to when the device's own answer to the last frame is
        // due: a slow device's answer that a stray byte displaced shows there.
        if (link.sentBy(link.horizon()) != link.writes.size())
            std::abort();
        // The frames accepted, in order, are exactly the image.
        std::vector<std::uint8_t> accepted;
        for (std::size_t i = 0; i < link.writes.size(); ++i)
            if (link.answersRead[i] == j4::kAcceptByte)
                accepted.insert(accepted.end(), link.writes[i].begin(), link.writes[i].end());
        if (accepted != image || result.state.acceptedBytes != image.size())
            std::abort();
        // Every answer was an accept or a reject, and no frame was accepted twice.
        for (std::size_t i = 0; i < link.writes.size(); ++i)
            if (link.answersRead[i] != j4::kAcceptByte && link.answersRead[i] != j4::kRejectByte)
                std::abort();
    }
    return 0;
}
