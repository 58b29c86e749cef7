#include "fake_link.h"
#include "transfer.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace j4;
using j4::testing::FakeLink;
using Bytes = std::vector<std::uint8_t>;
using ms = std::chrono::milliseconds;

namespace {

Bytes imageOf(const std::vector<Bytes>& frames) {
    Bytes image;
    for (const auto& frame : frames)
        image.insert(image.end(), frame.begin(), frame.end());
    return image;
}

// A frame with `content` bytes of payload: length high, length low, payload.
Bytes frame(int content, std::uint8_t fill = 0x5A) {
    Bytes bytes(static_cast<std::size_t>(content) + 2, fill);
    bytes[0] = static_cast<std::uint8_t>(content >> 8);
    bytes[1] = static_cast<std::uint8_t>(content & 0xFF);
    return bytes;
}

struct Sent {
    TransferResult result;
    std::vector<int> progress;
};

Sent run(const Bytes& image, FakeLink& link) {
    Sent r;
    link.open("fake");
    r.result = runTransfer(image, link, [&](TransferEvent event, const TransferState& s) {
        if (event == TransferEvent::Sending)
            r.progress.push_back(s.percent());
    });
    return r;
}

} // namespace

TEST(Transfer, OneFrameAccepted) {
    FakeLink link;
    link.answer(kAcceptByte);
    const Bytes f = frame(3);
    const Sent r = run(imageOf({f}), link);
    EXPECT_EQ(r.result.outcome, TransferOutcome::Completed);
    EXPECT_EQ(link.writes, std::vector<Bytes>{f});
    EXPECT_EQ(r.progress, std::vector<int>{0});
    EXPECT_EQ(r.result.state.acceptedBytes, 5u);
    EXPECT_EQ(transferText(r.result, link), "Update is completed.");
    EXPECT_EQ(transferDetail(r.result), "All 1 frames (5 bytes) were accepted.");
}

TEST(Transfer, EmptyImageCompletesWithoutWritingOrWaiting) {
    FakeLink link;
    const Sent r = run({}, link);
    EXPECT_EQ(r.result.outcome, TransferOutcome::Completed);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_EQ(link.now.count(), 0);
}

TEST(Transfer, RejectedFrameIsResentUntilTheFourthRejectInARow) {
    {
        FakeLink link;
        link.answers({kRejectByte, kRejectByte, kRejectByte, kAcceptByte});
        const Bytes f = frame(1);
        const Sent r = run(imageOf({f}), link);
        EXPECT_EQ(r.result.outcome, TransferOutcome::Completed);
        EXPECT_EQ(link.writes, std::vector<Bytes>(4, f));
        EXPECT_EQ(r.result.state.rejectsInARow, 0);
        EXPECT_EQ(r.result.state.rejects, 3u);
        EXPECT_EQ(r.progress, std::vector<int>(4, 0)) << "every resend reports progress again";
    }
    {
        FakeLink link;
        link.answers({kRejectByte, kRejectByte, kRejectByte, kRejectByte, kAcceptByte});
        const Bytes image = imageOf({frame(1), frame(2)});
        const Sent r = run(image, link);
        EXPECT_EQ(r.result.outcome, TransferOutcome::RejectedFourTimes);
        EXPECT_EQ(link.writes.size(), 4u) << "a frame goes out at most four times";
        EXPECT_EQ(r.result.state.frameOffset, 0u) << "never past a frame that was not accepted";
        EXPECT_EQ(transferText(r.result, link), "CRC error. File damaged.");
        EXPECT_EQ(transferDetail(r.result),
                  "The device rejected frame 1 (offset 0, 3 bytes) 4 times in a row. "
                  "0 of 7 bytes were accepted.");
    }
}

TEST(Transfer, RejectCountRestartsAtEveryAcceptedFrame) {
    FakeLink link;
    link.answers({kRejectByte, kRejectByte, kRejectByte, kAcceptByte, kRejectByte, kRejectByte,
                  kRejectByte, kAcceptByte});
    const Bytes a = frame(4, 0xA1);
    const Bytes b = frame(6, 0xB2);
    const Sent r = run(imageOf({a, b}), link);
    EXPECT_EQ(r.result.outcome, TransferOutcome::Completed);
    ASSERT_EQ(link.writes.size(), 8u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(link.writes[i], a);
        EXPECT_EQ(link.writes[4 + i], b);
    }
    EXPECT_EQ(r.result.state.acceptedBytes, 14u);
}

TEST(Transfer, UnexpectedAnswerEndsAtOnceWithoutResend) {
    for (std::uint8_t answer : {0x00, 0x06, 0x15, 0xFF, 0x13}) {
        FakeLink link;
        link.answers({answer, kAcceptByte});
        const Sent r = run(imageOf({frame(2), frame(2)}), link);
        EXPECT_EQ(r.result.outcome, TransferOutcome::UnexpectedAnswer) << int(answer);
        EXPECT_EQ(link.writes.size(), 1u);
        EXPECT_EQ(r.result.state.lastAnswer, answer);
        EXPECT_EQ(transferText(r.result, link), "Communication error.");
    }
}

TEST(Transfer, SilenceAndLateAnswersEndAsLinkFailure) {
    {
        FakeLink link;
        link.answer(kAcceptByte);
        const Sent r = run(imageOf({frame(2), frame(2)}), link);
        EXPECT_EQ(r.result.outcome, TransferOutcome::LinkFailed);
        EXPECT_EQ(r.result.linkError, LinkError::NoAnswer);
        EXPECT_EQ(link.now, link.answerTimeout()) << "the read waited out the time-out once";
        EXPECT_EQ(transferText(r.result, link), "No answer from the device within 10 seconds.");
        EXPECT_EQ(r.result.state.frameOffset, 4u);
    }
    {
        FakeLink link;
        link.answer(kAcceptByte, ms{9000});
        EXPECT_EQ(run(imageOf({frame(0)}), link).result.outcome, TransferOutcome::Completed);
        EXPECT_EQ(link.now.count(), 9000 + 10000) << "watched twice its answer time, at most "
                                                     "the time-out";
    }
    {
        FakeLink link;
        link.answer(kAcceptByte, ms{10500});
        EXPECT_EQ(run(imageOf({frame(0)}), link).result.linkError, LinkError::NoAnswer);
    }
}

TEST(Transfer, HangUpDuringAWriteEndsWithoutWaiting) {
    FakeLink link;
    link.answers({kAcceptByte, kAcceptByte, kAcceptByte});
    link.hangUpAtWrite(2);
    const Sent r = run(imageOf({frame(1), frame(1), frame(1)}), link);
    EXPECT_EQ(r.result.outcome, TransferOutcome::LinkFailed);
    EXPECT_EQ(r.result.linkError, LinkError::HungUp);
    EXPECT_EQ(link.now.count(), 0) << "no time-out waited after a failed write";
    EXPECT_EQ(transferDetail(r.result),
              "The transfer stopped at frame 2 (offset 3, 3 bytes). 3 of 9 bytes were accepted.");
}

TEST(Transfer, FrameOfSizeTwoAndProgressFigures) {
    FakeLink link;
    link.answers({kRejectByte, kAcceptByte});
    EXPECT_EQ(run(imageOf({frame(0)}), link).result.outcome, TransferOutcome::Completed);
    EXPECT_EQ(link.writes, (std::vector<Bytes>{{0, 0}, {0, 0}}));

    FakeLink three;
    three.answers({kAcceptByte, kAcceptByte, kAcceptByte});
    EXPECT_EQ(run(imageOf({frame(8), frame(18), frame(68)}), three).progress,
              (std::vector<int>{0, 10, 30}));
}

TEST(Transfer, SurplusBytesEndTheRunBeforeAnythingMoreIsSent) {
    // Whatever frame a surplus byte was meant for, pairing it with the next
    // transmission would put every later answer out of step.
    struct Case {
        const char* what;
        int afterWrite;
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint8_t> answers;
        std::size_t writes;
        std::string detail;
    };
    const Case cases[] = {
        {"an accept too many, between frames",
         1,
         {kAcceptByte},
         {kAcceptByte, kRejectByte},
         1,
         "The device sent 1 byte that answers no frame, before frame 2 (offset 3, 3 bytes). "
         "At most 3 of 9 bytes were accepted."},
        {"a reject too many, before a resend",
         1,
         {kRejectByte},
         {kRejectByte, kAcceptByte},
         1,
         "The device sent 1 byte that answers no frame, before frame 1 (offset 0, 3 bytes). "
         "At most 0 of 9 bytes were accepted."},
        {"a burst of garbage",
         2,
         {0x55, 0x66, 0x77},
         {kAcceptByte, kAcceptByte},
         2,
         "The device sent 3 bytes that answer no frame, before frame 3 (offset 6, 3 bytes). "
         "At most 6 of 9 bytes were accepted."},
    };
    for (const Case& c : cases) {
        FakeLink link;
        for (auto a : c.answers)
            link.answer(a);
        link.surplusAfterWrite(c.afterWrite, c.bytes);
        const Sent r = run(imageOf({frame(1, 1), frame(1, 2), frame(1, 3)}), link);
        EXPECT_EQ(r.result.outcome, TransferOutcome::AnswersOutOfStep) << c.what;
        EXPECT_EQ(link.writes.size(), c.writes) << c.what;
        EXPECT_EQ(transferText(r.result, link), "Communication error.");
        EXPECT_EQ(transferDetail(r.result), c.detail) << c.what;
    }
}

TEST(Transfer, TheLastAnswerIsWatchedForSurplusDuringTheGuard) {
    struct Case {
        const char* what;
        int frames;
        std::function<void(FakeLink&)> script;
        TransferOutcome outcome;
        std::string detail; // empty: not checked
    };
    const auto accepts = [](int count, ms delay = ms{0}) {
        return [=](FakeLink& link) {
            for (int i = 0; i < count; ++i)
                link.answer(kAcceptByte, delay);
        };
    };
    const Case cases[] = {
        {"a stray accept within the guard", 2,
         [&](FakeLink& link) {
             accepts(2)(link);
             link.surplusAfterWrite(2, {kAcceptByte}, kSurplusGuard - ms{5});
         },
         TransferOutcome::AnswersOutOfStep,
         "The device sent 1 byte that answers no frame, after the answer to the last frame. At "
         "most 6 of 6 bytes were accepted."},
        // The device restarts into its new firmware right after its last
        // accept: its answers were in step, so the update is complete.
        {"a restart after the last accept", 2,
         [&](FakeLink& link) {
             accepts(2)(link);
             link.hangUpAfterWrite(2, ms{5});
         },
         TransferOutcome::Completed,
         "All 2 frames (6 bytes) were accepted; then the line went away, as a device that "
         "restarts into its new firmware makes it."},
        // The same after an answer held suspect: what would still have come
        // is unknown, and the detail claims no more than is known.
        {"a hang-up after an answer held suspect", 4,
         [](FakeLink& link) {
             for (const ms delay : {ms{100}, ms{100}, ms{1}, ms{100}})
                 link.answer(kAcceptByte, delay);
             link.hangUpAfterWrite(4, ms{120});
         },
         TransferOutcome::LinkFailed,
         "Every frame was answered, then the line failed while the end was watched. At most 12 "
         "of 12 bytes were accepted."},
        // A byte after the guard belongs to no attempt of ours.
        {"a stray accept after the guard",
         2,
         [&](FakeLink& link) {
             accepts(2)(link);
             link.surplusAfterWrite(2, {kAcceptByte}, kSurplusGuard + ms{5});
         },
         TransferOutcome::Completed,
         {}},
        // A slow device and one stray accept right after the first frame:
        // every later answer pairs with the wrong frame, and the device's
        // own answer to the last one (a reject) comes 100 ms after it was
        // sent.
        {"a stray accept early in a slow run",
         3,
         [](FakeLink& link) {
             for (auto answer : {kAcceptByte, kAcceptByte, kRejectByte})
                 link.answer(answer, ms{100});
             link.surplusAfterWrite(1, {kAcceptByte}, ms{1});
         },
         TransferOutcome::AnswersOutOfStep,
         {}},
    };
    for (const Case& c : cases) {
        FakeLink link;
        c.script(link);
        const Sent r =
            run(imageOf(std::vector(static_cast<std::size_t>(c.frames), frame(1))), link);
        EXPECT_EQ(r.result.outcome, c.outcome) << c.what;
        EXPECT_TRUE(r.result.state.allFramesSent) << c.what;
        if (!c.detail.empty()) {
            EXPECT_EQ(transferDetail(r.result), c.detail) << c.what;
        } else if (c.outcome == TransferOutcome::Completed) {
            EXPECT_EQ(link.now, kSurplusGuard) << c.what; // the guard, and no longer
        }
    }
    {
        // The same stray later in the run comes far sooner than any answer
        // so far: the real answer is awaited before anything more is sent.
        FakeLink link;
        accepts(4, ms{100})(link);
        link.surplusAfterWrite(3, {kAcceptByte}, ms{1});
        const Sent r = run(imageOf({frame(1), frame(1), frame(1), frame(1)}), link);
        EXPECT_EQ(r.result.outcome, TransferOutcome::AnswersOutOfStep);
        EXPECT_EQ(link.writes.size(), 3u);
    }
}

TEST(Transfer, AStopRequestEndsTheRunAtTheNextFrame) {
    FakeLink link;
    link.answers({kAcceptByte, kAcceptByte, kAcceptByte});
    link.open("fake");
    std::atomic<bool> stop{false};
    const TransferResult r = runTransfer(
        imageOf({frame(1), frame(1), frame(1)}), link,
        [&](TransferEvent event, const TransferState& s) {
            if (event == TransferEvent::Answered && s.acceptedFrames == 0)
                stop = true;
        },
        &stop);
    EXPECT_EQ(r.outcome, TransferOutcome::LinkFailed);
    EXPECT_EQ(r.linkError, LinkError::Interrupted);
    EXPECT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(r.state.acceptedBytes, 3u) << "the frame in flight is finished, not cut";
}

TEST(Transfer, NeverReadsPastTheData) {
    // Images the loader would refuse; the transfer still stays inside the data.
    FakeLink link;
    link.answers({kAcceptByte, kAcceptByte});
    run({0xFF, 0xFF, 1, 2, 3}, link);
    EXPECT_EQ(link.writes, (std::vector<Bytes>{{0xFF, 0xFF, 1, 2, 3}}));

    FakeLink lone;
    lone.answers({kAcceptByte, kAcceptByte});
    run({0, 1, 7, 0x42}, lone); // a lone length byte last
    EXPECT_EQ(lone.writes, (std::vector<Bytes>{{0, 1, 7}, {0x42}}));
}

TEST(Transfer, TheLastFrameWaitsForItsGateAndIsKeptBackWhenItSaysNo) {
    const Bytes first = frame(3, 0x01);
    const Bytes last = frame(4, 0x02);
    for (const bool open : {true, false}) {
        FakeLink link;
        link.answer(kAcceptByte);
        link.answer(kRejectByte); // the last frame resent: its gate is asked once
        link.answer(kAcceptByte);
        link.open("fake");
        int asked = 0;
        std::size_t sentWhenAsked = 0;
        const TransferResult result = runTransfer(imageOf({first, last}), link, {}, nullptr, [&] {
            ++asked;
            sentWhenAsked = link.writes.size();
            return open;
        });
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(sentWhenAsked, 1u) << "asked once the frames before it were sent";
        if (open) {
            EXPECT_EQ(result.outcome, TransferOutcome::Completed);
            EXPECT_EQ(link.writes, (std::vector<Bytes>{first, last, last}));
        } else {
            EXPECT_EQ(result.outcome, TransferOutcome::Withheld);
            EXPECT_EQ(link.writes, std::vector<Bytes>{first}) << "nothing of the last frame sent";
            EXPECT_EQ(transferText(result, link), "The update was stopped before its last frame.");
            EXPECT_EQ(transferDetail(result),
                      "The transfer stopped at frame 2 (offset 5, 6 bytes). 5 of 11 bytes were "
                      "accepted.");
        }
    }
}
