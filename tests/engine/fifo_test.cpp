// Update files that are not files: opening must not block, and the window's
// rule (regular files only) holds. FIFOs are a POSIX matter.

#include "fake_link.h"
#include "update_session.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace j4;
using j4::testing::FakeLink;

TEST(UpdateFileReader, OpensWithoutBlockingAndRefusesWhatIsNotAFileWhenAsked) {
    const std::string fifo = ::testing::TempDir() + "decoder_fifo.j4u";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto regularOnly = UpdateFileReader::open(fifo, UpdateFileReader::Kinds::RegularOnly);
    ASSERT_FALSE(regularOnly);
    EXPECT_EQ(regularOnly.error(), "not a regular file");
    ::unlink(fifo.c_str());

    const auto folder = UpdateFileReader::open(::testing::TempDir(), UpdateFileReader::Kinds::Any);
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error(), "Is a directory");
    const auto missing =
        UpdateFileReader::open("/nonexistent/x.j4u", UpdateFileReader::Kinds::RegularOnly);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "No such file or directory");
}

TEST(UpdateSessionFiles, TheWindowsFileRuleRefusesWhatIsNotARegularFile) {
    const std::string path = ::testing::TempDir() + "session_fifo.j4u";
    ::unlink(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    FakeLink link;
    UpdateRequest request;
    request.filePath = path;
    request.device = "/dev/fake";
    const UpdateReport report = UpdateSession(link).run(request);
    EXPECT_EQ(report.outcome, UpdateOutcome::FileUnreadable);
    EXPECT_EQ(report.detail, path + ": not a regular file");
    EXPECT_TRUE(link.openedDevices.empty());
    ::unlink(path.c_str());
}
