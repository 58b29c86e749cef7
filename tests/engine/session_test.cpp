// One update attempt from file to report, against the fake link and real files.

#include "fake_link.h"
#include "update_session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>

using namespace j4;
using j4::testing::FakeLink;

namespace {

class Session : public ::testing::Test {
protected:
    std::string path = ::testing::TempDir() + "session_test.j4u";
    FakeLink link;

    void writeFile(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    UpdateRequest request(std::string device = "/dev/fake") const {
        UpdateRequest r;
        r.filePath = path;
        r.device = std::move(device);
        r.portNumber = 2;
        r.portDescription = "test adapter";
        return r;
    }
    void TearDown() override { std::remove(path.c_str()); }
};

} // namespace

TEST_F(Session, CompletedUpdateAndItsReport) {
    writeFile("00 01 AA\r\n00 02 BB CC\r\n");
    link.answers({kAcceptByte, kAcceptByte});
    std::vector<UpdateStage> stages;
    UpdateListener listener;
    listener.stage = [&](UpdateStage stage, const TransferState&) { stages.push_back(stage); };
    const UpdateReport report = UpdateSession(link).run(request(), listener);
    EXPECT_TRUE(report.completed());
    EXPECT_EQ(report.text, "Update is completed.");
    EXPECT_EQ(report.detail, "All 2 frames (7 bytes) were accepted.");
    EXPECT_EQ(report.frames, 2u);
    EXPECT_EQ(report.transfer.acceptedBytes, 7u);
    EXPECT_EQ(report.device, "/dev/fake");
    EXPECT_EQ(link.openedDevices, std::vector<std::string>{"/dev/fake"});
    EXPECT_EQ(link.flushes, 1);
    EXPECT_FALSE(link.isOpen) << "the port is closed when the attempt ends";
    EXPECT_EQ(stages, (std::vector{UpdateStage::OpeningPort, UpdateStage::Transferring}));
    EXPECT_TRUE(report.adapterNote.empty());
}

TEST_F(Session, WhatTheAdapterDoesToAnswersIsToldInTheDetail) {
    writeFile("00 01 AA");
    link.answer(kAcceptByte);
    link.note = "The USB adapter ttyUSB0 keeps its latency timer at 16 ms.";
    const UpdateReport report = UpdateSession(link).run(request());
    EXPECT_TRUE(report.completed());
    EXPECT_EQ(report.adapterNote, link.note);
    EXPECT_EQ(report.detail, "All 1 frames (3 bytes) were accepted. " + link.note);
}

TEST_F(Session, FailuresBeforeTheTransferSendNothing) {
    // Unreadable file: the port is never opened.
    {
        const UpdateReport report = UpdateSession(link).run(request());
        EXPECT_EQ(report.outcome, UpdateOutcome::FileUnreadable);
        EXPECT_EQ(report.text, "File open error!");
        // "PATH: " and the system's own words, whatever its language.
        EXPECT_EQ(report.detail.rfind(path + ": ", 0), 0u) << report.detail;
        EXPECT_GT(report.detail.size(), path.size() + 2);
        EXPECT_TRUE(link.openedDevices.empty());
    }
    // The port cannot be opened, or no port has the number.
    writeFile("00 01 AA");
    {
        FakeLink busy;
        busy.failOpen(LinkError::PortBusy);
        const UpdateReport report = UpdateSession(busy).run(request());
        EXPECT_EQ(report.outcome, UpdateOutcome::PortFailed);
        EXPECT_EQ(report.text, "The serial port is in use by another program.");
        EXPECT_EQ(report.detail, "Port 2: /dev/fake (test adapter)");
        const UpdateReport none = UpdateSession(link).run(request(""));
        EXPECT_EQ(none.text, "The serial port does not exist.");
        EXPECT_EQ(none.detail, "No serial port has the number 2.");
        // A failure only that kind of link has, in its own words.
        FakeLink remote;
        remote.failOpenSpecifically("The serial server does not answer.");
        const UpdateReport own = UpdateSession(remote).run(request());
        EXPECT_EQ(own.outcome, UpdateOutcome::PortFailed);
        EXPECT_EQ(own.linkError, LinkError::Specific);
        EXPECT_EQ(own.text, "The serial server does not answer.");
    }
    // A refused file: the port was opened and flushed, nothing written.
    writeFile("00 05 AA");
    {
        const UpdateReport report = UpdateSession(link).run(request());
        EXPECT_EQ(report.outcome, UpdateOutcome::FileRefused);
        EXPECT_EQ(report.text, "Update file is damaged: incomplete frame at offset 0.");
        EXPECT_EQ(report.detail, path);
        EXPECT_EQ(link.openedDevices.size(), 1u);
        EXPECT_TRUE(link.writes.empty());
        EXPECT_FALSE(link.isOpen);
    }
}

TEST_F(Session, EachTransferOutcomeHasItsReport) {
    writeFile("00 01 AA 00 01 BB");
    struct Case {
        std::vector<std::uint8_t> answers;
        UpdateOutcome outcome;
        const char* text;
    };
    const Case cases[] = {
        {{kAcceptByte, 0x06}, UpdateOutcome::UnexpectedAnswer, "Communication error."},
        {{kRejectByte, kRejectByte, kRejectByte, kRejectByte},
         UpdateOutcome::RejectedFourTimes,
         "CRC error. File damaged."},
        {{kAcceptByte}, UpdateOutcome::LinkFailed, "No answer from the device within 10 seconds."},
    };
    for (const Case& c : cases) {
        FakeLink device;
        for (auto a : c.answers)
            device.answer(a);
        const UpdateReport report = UpdateSession(device).run(request());
        EXPECT_EQ(report.outcome, c.outcome) << c.text;
        EXPECT_EQ(report.text, c.text);
        EXPECT_FALSE(report.detail.empty());
        EXPECT_FALSE(device.isOpen);
    }
    FakeLink device;
    device.answers({kAcceptByte, kAcceptByte});
    device.surplusAfterWrite(1, {kAcceptByte});
    const UpdateReport outOfStep = UpdateSession(device).run(request());
    EXPECT_EQ(outOfStep.outcome, UpdateOutcome::AnswersOutOfStep);
    EXPECT_EQ(outOfStep.text, "Communication error.");
    EXPECT_EQ(outOfStep.detail, "The device sent 1 byte that answers no frame, before frame 2 "
                                "(offset 3, 3 bytes). At most 3 of 6 bytes were accepted.");
}

TEST_F(Session, AStopBeforeOrDuringTheAttemptEndsItAsInterrupted) {
    writeFile("00 01 AA 00 01 BB");
    std::atomic<bool> stop{true};
    const UpdateReport early = UpdateSession(link, &stop).run(request());
    EXPECT_EQ(early.outcome, UpdateOutcome::Interrupted);
    EXPECT_EQ(early.text, "The update was interrupted.");
    EXPECT_TRUE(link.writes.empty());

    stop = false;
    link.answers({kAcceptByte, kAcceptByte});
    UpdateListener listener;
    listener.transfer = [&](TransferEvent event, const TransferState&) {
        if (event == TransferEvent::Answered)
            stop = true;
    };
    const UpdateReport late = UpdateSession(link, &stop).run(request(), listener);
    EXPECT_EQ(late.outcome, UpdateOutcome::Interrupted);
    EXPECT_EQ(late.detail,
              "The transfer stopped at frame 2 (offset 3, 3 bytes). 3 of 6 bytes were accepted.");
    EXPECT_FALSE(link.isOpen);
}

TEST(LinkErrors, EveryFailureEveryLinkMayMeetHasItsOwnText) {
    std::set<std::string> texts;
    const int shared = static_cast<int>(LinkError::Specific);
    for (int error = static_cast<int>(LinkError::PortNotFound); error < shared; ++error)
        texts.insert(linkErrorText(static_cast<LinkError>(error), std::chrono::seconds(10)));
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(shared - 1));
    EXPECT_FALSE(texts.contains(""));
    EXPECT_EQ(linkErrorText(LinkError::NoAnswer, std::chrono::seconds(10)),
              "No answer from the device within 10 seconds.");
    EXPECT_EQ(linkErrorText(LinkError::NoAnswer, std::chrono::milliseconds(250)),
              "No answer from the device within 250 ms.");
}
