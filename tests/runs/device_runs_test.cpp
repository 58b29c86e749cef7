// Several devices at once, in process with scripted links: each device its
// own attempt, ID and log line, and one device's failure nobody else's.

#include "device_runs.h"

#include "fake_link.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

using namespace j4;
using namespace j4::runs;
using j4::testing::FakeLink;

namespace {

// Lends a test's link to the run, which owns what it is given.
class Lent final : public SerialLink {
public:
    explicit Lent(FakeLink& fake) : fake_(fake) {}
    LinkError open(const std::string& device) override { return fake_.open(device); }
    void flushInput() override { fake_.flushInput(); }
    LinkError write(std::span<const std::uint8_t> bytes) override { return fake_.write(bytes); }
    ByteRead readByte() override { return fake_.readByte(); }
    WaitingBytes bytesWaiting(std::chrono::milliseconds wait) override {
        return fake_.bytesWaiting(wait);
    }
    void close() override { fake_.close(); }

private:
    FakeLink& fake_;
};

class Heard final : public DeviceListener {
public:
    void finished(std::size_t device, const AttemptReport& report) override {
        const std::lock_guard lock(mutex_);
        ++finishedBy[device];
        outcomes[device] = report.outcome;
    }
    std::mutex mutex_;
    std::map<std::size_t, int> finishedBy;
    std::map<std::size_t, UpdateOutcome> outcomes;
};

Target targetAt(const std::string& device, const std::string& file) {
    Target target;
    target.request.device = device;
    target.request.filePath = file;
    target.label = device;
    return target;
}

} // namespace

TEST(DeviceRuns, EachDeviceEndsOnItsOwnAndIsLoggedOnce) {
    QTemporaryDir dir;
    const QString file =
        j4::testing::writeUpdateFile(dir.filePath("u.j4u"), j4::testing::makeImage(3, 8));
    const PreparedFile prepared =
        prepareUpdateFile(QFile::encodeName(file).toStdString(), UpdateFileReader::Kinds::Any);
    ASSERT_TRUE(prepared.ok()) << prepared.text;

    std::map<std::string, FakeLink> links;
    links["/dev/accepts"].answers({kAcceptByte, kAcceptByte, kAcceptByte});
    links["/dev/rejects"].answers({kRejectByte, kRejectByte, kRejectByte, kRejectByte});
    links["/dev/absent"].failOpen(LinkError::PortNotFound);
    std::vector<Target> targets;
    for (const auto& [device, link] : links)
        targets.push_back(targetAt(device, file.toStdString()));

    const std::string logPath = QFile::encodeName(dir.filePath("log.jsonl")).toStdString();
    LogWriter log(logPath, "line-1", "anna");
    Heard heard;
    const std::atomic<bool> stop{false};
    const auto reports = runOnDevices(
        prepared.decoded, targets,
        {[&](const std::string& device) { return std::make_unique<Lent>(links.at(device)); }, heard,
         stop, &log});

    ASSERT_EQ(reports.size(), 3u);
    // In the order given: absent, accepts, rejects.
    EXPECT_EQ(reports[0].outcome, UpdateOutcome::PortFailed) << reports[0].text;
    EXPECT_EQ(reports[1].outcome, UpdateOutcome::Completed) << reports[1].text;
    EXPECT_EQ(reports[2].outcome, UpdateOutcome::RejectedFourTimes) << reports[2].text;
    std::set<std::string> ids;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        ids.insert(reports[i].attempt);
        EXPECT_EQ(heard.finishedBy[i], 1) << "each end told once, under its own index";
        EXPECT_EQ(heard.outcomes[i], reports[i].outcome);
        EXPECT_FALSE(reports[i].slot) << "no station, no slot";
    }
    EXPECT_EQ(ids.size(), 3u) << "an ID per attempt";
    EXPECT_EQ(links["/dev/accepts"].writes.size(), 3u);
    EXPECT_EQ(links["/dev/rejects"].writes.size(), 4u) << "one frame, sent four times";

    QFile written(QString::fromStdString(logPath));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3);
    for (const std::string& id : ids)
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const QByteArray& line) {
                                    return line.contains(QByteArray::fromStdString(id));
                                }),
                  1);
}
