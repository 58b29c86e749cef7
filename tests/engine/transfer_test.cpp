#include "fake_link.h"
#include "transfer.h"

#include <gtest/gtest.h>

#include <vector>

using namespace j4;
using j4::testing::FakeLink;
using Kind = TransferOutcome::Kind;

namespace {

FrameImage& imageOf(std::initializer_list<std::vector<std::uint8_t>> frames) {
    static FrameImage image;
    image.bufferSize = 0;
    for (const auto& frame : frames)
        for (auto b : frame)
            image.buffer[image.bufferSize++] = b;
    return image;
}

// A frame with `content` bytes of payload: length high, length low, payload.
std::vector<std::uint8_t> frame(int content, std::uint8_t fill = 0x5A) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(content) + 2, fill);
    bytes[0] = static_cast<std::uint8_t>(content >> 8);
    bytes[1] = static_cast<std::uint8_t>(content & 0xFF);
    return bytes;
}

struct RunResult {
    TransferOutcome outcome;
    TransferCounters counters;
    std::vector<int> progress;
};

RunResult run(const FrameImage& image, FakeLink& link) {
    RunResult r;
    link.open(1);
    r.outcome = runTransfer(image, link, r.counters, [&](int p) { r.progress.push_back(p); });
    return r;
}

} // namespace

TEST(Transfer, OneFrameAccepted) {
    FakeLink link;
    link.answer(ACK_BYTE);
    const auto f = frame(3);
    const RunResult r = run(imageOf({f}), link);
    EXPECT_EQ(r.outcome.kind, Kind::Completed);
    ASSERT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(link.writes[0], f);
    EXPECT_EQ(r.progress, std::vector<int>{0});
    EXPECT_EQ(r.counters.bytesSent, 5);
}

TEST(Transfer, EmptyImageCompletesWithoutWriting) {
    FakeLink link;
    const RunResult r = run(imageOf({}), link);
    EXPECT_EQ(r.outcome.kind, Kind::Completed);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_TRUE(r.progress.empty());
}

TEST(Transfer, RejectedFrameIsResentUntilTheFourthRejectInARow) {
    {
        FakeLink link;
        link.answers({NAK_BYTE, NAK_BYTE, NAK_BYTE, ACK_BYTE});
        const auto f = frame(1);
        const RunResult r = run(imageOf({f}), link);
        EXPECT_EQ(r.outcome.kind, Kind::Completed);
        EXPECT_EQ(link.writes, std::vector<std::vector<std::uint8_t>>(4, f));
        EXPECT_EQ(r.counters.retries, 0);
        EXPECT_EQ(r.progress, std::vector<int>(4, 0)) << "every resend reports progress again";
    }
    {
        FakeLink link;
        link.answers({NAK_BYTE, NAK_BYTE, NAK_BYTE, NAK_BYTE, ACK_BYTE});
        const auto f = frame(1);
        const RunResult r = run(imageOf({f, frame(2)}), link);
        EXPECT_EQ(r.outcome.kind, Kind::CrcError);
        EXPECT_EQ(link.writes.size(), 4u) << "a frame goes out at most four times";
        EXPECT_EQ(r.counters.index, 0) << "never past a frame that was not accepted";
        EXPECT_EQ(outcomeText(r.outcome, link), "CRC error. File damaged.");
        EXPECT_EQ(outcomeDetail(r.outcome, r.counters, imageOf({f, frame(2)})),
                  "The device rejected frame 1 (offset 0, 3 bytes) 4 times in a row. "
                  "0 of 7 bytes were accepted.");
    }
}

TEST(Transfer, RejectCountRestartsAtEveryAcceptedFrame) {
    FakeLink link;
    link.answers({NAK_BYTE, NAK_BYTE, NAK_BYTE, ACK_BYTE, NAK_BYTE, NAK_BYTE, NAK_BYTE, ACK_BYTE});
    const auto a = frame(4, 0xA1);
    const auto b = frame(6, 0xB2);
    const RunResult r = run(imageOf({a, b}), link);
    EXPECT_EQ(r.outcome.kind, Kind::Completed);
    ASSERT_EQ(link.writes.size(), 8u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(link.writes[i], a);
        EXPECT_EQ(link.writes[4 + i], b);
    }
    EXPECT_EQ(r.counters.bytesSent, 14);
}

TEST(Transfer, UnexpectedAnswerEndsAtOnceWithoutResend) {
    for (std::uint8_t answer : {0x00, 0x06, 0x15, 0xFF, 0x13}) {
        FakeLink link;
        link.answers({answer, ACK_BYTE});
        const RunResult r = run(imageOf({frame(2), frame(2)}), link);
        EXPECT_EQ(r.outcome.kind, Kind::CommunicationError) << int(answer);
        EXPECT_EQ(link.writes.size(), 1u);
        EXPECT_EQ(r.counters.receivedByte, answer);
        EXPECT_EQ(outcomeText(r.outcome, link), "Communication error.");
    }
}

TEST(Transfer, SilentDeviceEndsAsReadFailureCarryingTheCode) {
    FakeLink link;
    link.answer(ACK_BYTE);
    const RunResult r = run(imageOf({frame(2), frame(2)}), link);
    EXPECT_EQ(r.outcome.kind, Kind::ReadFailure);
    EXPECT_EQ(r.outcome.ComErr, FakeLink::kTimeout);
    EXPECT_EQ(r.counters.ComErr, FakeLink::kTimeout);
    EXPECT_EQ(link.now, link.timeout) << "the read waited out the time-out once";
    EXPECT_EQ(outcomeText(r.outcome, link), "fake: no answer");
    EXPECT_EQ(r.counters.index, 4);
}

TEST(Transfer, LateAnswerCountsOnlyWithinTheTimeout) {
    {
        FakeLink link;
        link.answer(ACK_BYTE, std::chrono::milliseconds{9000});
        EXPECT_EQ(run(imageOf({frame(0)}), link).outcome.kind, Kind::Completed);
        EXPECT_EQ(link.now.count(), 9000);
    }
    {
        FakeLink link;
        link.answer(ACK_BYTE, std::chrono::milliseconds{10500});
        const RunResult r = run(imageOf({frame(0)}), link);
        EXPECT_EQ(r.outcome.kind, Kind::ReadFailure);
        EXPECT_EQ(r.outcome.ComErr, FakeLink::kTimeout);
    }
}

TEST(Transfer, HangUpDuringAWriteEndsWithTheLinksOwnCode) {
    FakeLink link;
    link.answers({ACK_BYTE, ACK_BYTE, ACK_BYTE});
    link.hangUpAtWrite(2);
    const RunResult r = run(imageOf({frame(1), frame(1), frame(1)}), link);
    EXPECT_EQ(r.outcome.kind, Kind::ReadFailure);
    EXPECT_EQ(r.outcome.ComErr, FakeLink::kHungUp);
    EXPECT_EQ(link.now.count(), 0) << "no time-out waited after a failed write";
    EXPECT_EQ(outcomeDetail(r.outcome, r.counters, imageOf({frame(1), frame(1), frame(1)})),
              "The transfer stopped at frame 2 (offset 3, 3 bytes). 3 of 9 bytes were accepted.");
}

TEST(Transfer, FrameOfSizeTwoIsSentAndAnswered) {
    FakeLink link;
    link.answers({NAK_BYTE, ACK_BYTE});
    const RunResult r = run(imageOf({frame(0)}), link);
    EXPECT_EQ(r.outcome.kind, Kind::Completed);
    EXPECT_EQ(link.writes, (std::vector<std::vector<std::uint8_t>>{{0, 0}, {0, 0}}));
}

TEST(Transfer, ProgressIsTheShareOfAcceptedBytes) {
    FakeLink link;
    link.answers({ACK_BYTE, ACK_BYTE, ACK_BYTE});
    const RunResult r = run(imageOf({frame(8), frame(18), frame(68)}), link);
    EXPECT_EQ(r.outcome.kind, Kind::Completed);
    EXPECT_EQ(r.progress, (std::vector<int>{0, 10, 30}));
}

TEST(Transfer, StrayByteIsTakenAsTheNextAnswer) {
    FakeLink link;
    link.staleByte(0x55); // waiting before the run: flushed
    link.flushInput();
    link.answers({ACK_BYTE, NAK_BYTE, NAK_BYTE, NAK_BYTE, NAK_BYTE});
    const RunResult r = run(imageOf({frame(1), frame(1)}), link);
    EXPECT_EQ(r.outcome.kind, Kind::CrcError);
    EXPECT_EQ(link.writes.size(), 5u);
}

TEST(Transfer, NeverReadsPastTheLoadedData) {
    // Images the loader would refuse; the transfer still stays inside the data.
    {
        FakeLink link;
        link.answers({ACK_BYTE, ACK_BYTE});
        FrameImage& image = imageOf({{0xFF, 0xFF, 1, 2, 3}});
        const RunResult r = run(image, link);
        EXPECT_EQ(r.outcome.kind, Kind::Completed);
        EXPECT_EQ(link.writes, (std::vector<std::vector<std::uint8_t>>{{0xFF, 0xFF, 1, 2, 3}}));
    }
    {
        FakeLink link;
        link.answers({ACK_BYTE, ACK_BYTE});
        FrameImage& image = imageOf({{0, 1, 7, 0x42}}); // a lone length byte last
        run(image, link);
        ASSERT_EQ(link.writes.size(), 2u);
        EXPECT_EQ(link.writes[1], std::vector<std::uint8_t>{0x42});
    }
    {
        // A fill count beyond the array is never trusted.
        static FrameImage image;
        image.buffer.fill(0);
        image.buffer[FRAME_IMAGE_CAPACITY - 1] = 0x33;
        image.bufferSize = FRAME_IMAGE_CAPACITY + 1000;
        FakeLink link;
        for (int i = 0; i < FRAME_IMAGE_CAPACITY; ++i)
            link.answer(ACK_BYTE);
        const RunResult r = run(image, link);
        EXPECT_EQ(r.outcome.kind, Kind::Completed);
        EXPECT_EQ(r.counters.bytesSent, FRAME_IMAGE_CAPACITY);
        EXPECT_EQ(link.writes.back(), (std::vector<std::uint8_t>{0, 0x33}))
            << "cut at the array's end";
    }
}
