// The records' sender's reading of the log in process: batches from a kept
// position, damaged lines passed over, a rotated log read from its start,
// and a record the database refuses set aside without holding back the rest.

#include "attempt_report.h"
#include "live_state.h"
#include "log_batches.h"
#include "update_log.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <string>
#include <vector>

using namespace j4;
using namespace j4::records;
using j4::runs::logLine;

namespace {

std::string lineFor(int n) {
    j4::runs::AttemptReport report;
    report.attempt = "00000000-0000-4000-8000-" + std::string(12 - std::to_string(n).size(), '0') +
                     std::to_string(n);
    report.filePath = "update.j4u";
    report.device = "/dev/ttyUSB0";
    report.text = "Update is completed.";
    return logLine(report, {"1.2.0", "host", "line-3", "op"}) + "\n";
}

void append(const QString& path, const std::string& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(text.data(), qint64(text.size()));
}

// Takes every record but those whose attempt ends in one of `refusedEnds`,
// which it turns down on their merits, as a server refuses a value.
class ScriptedDatabase final : public RecordDatabase {
public:
    std::vector<std::string> refusedEnds;
    std::vector<std::string> stored;
    int statements = 0;

    Result<std::size_t, InsertFailure> insert(std::span<const Record> records) override {
        ++statements;
        for (const Record& record : records)
            for (const std::string& end : refusedEnds)
                if (record.attempt.ends_with(end))
                    return fail(InsertFailure{"value too long for an index", true});
        for (const Record& record : records)
            stored.push_back(record.attempt);
        return records.size();
    }
    Result<Done, InsertFailure> reportLive(const j4::records::LiveState&) override {
        return fail(InsertFailure{"not asked", true});
    }
};

} // namespace

TEST(LogBatches, BatchesFollowTheKeptPositionAndPassOverDamagedLines) {
    QTemporaryDir dir;
    const QString path = dir.filePath("attempts.jsonl");
    append(path, lineFor(1) + lineFor(2) + "not json\n" + lineFor(3) + lineFor(4));
    append(path, lineFor(5).substr(0, 40)); // still being written
    QFile log(path);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    std::vector<std::uint64_t> damaged;
    const auto onDamaged = [&](std::uint64_t line, const std::string&) { damaged.push_back(line); };

    const LogBatch first = readLogBatch(log, LogPosition::startOf(log), 2, onDamaged);
    ASSERT_EQ(first.records.size(), 2u);
    EXPECT_EQ(first.records[1].number, 2u);
    // The position survives its text, as LOG.sent keeps it between runs.
    const LogPosition kept = LogPosition::fromText(first.end.text());
    EXPECT_TRUE(kept.describes(log));
    const LogBatch second = readLogBatch(log, kept, 10, onDamaged);
    ASSERT_EQ(second.records.size(), 2u);
    EXPECT_EQ(second.records[0].number, 4u);
    EXPECT_EQ(damaged, std::vector<std::uint64_t>{3});
    EXPECT_EQ(readLogBatch(log, second.end, 10, onDamaged).records.size(), 0u)
        << "the line being written waits for its end";
    EXPECT_EQ(linesAfter(log, kept.offset).lines, 3u);

    // Rotated: another file under the same name, shorter or longer, is
    // never read from the old offset.
    log.close();
    ASSERT_TRUE(QFile::rename(path, path + ".1"));
    append(path, lineFor(6) + lineFor(7) + lineFor(8) + lineFor(9) + lineFor(10));
    QFile rotated(path);
    ASSERT_TRUE(rotated.open(QIODevice::ReadOnly));
    EXPECT_FALSE(kept.describes(rotated));
}

TEST(LogBatches, ALogLineIsReadBackAsTheRecordItWrites) {
    j4::runs::AttemptReport report;
    report.attempt = "5f0c8a52-7c1e-4d0b-9f1a-2b3c4d5e6f70";
    report.filePath = "/updates/u.j4u";
    report.device = "/dev/\xff-not-utf8";
    report.unit = "SN'); DROP TABLE attempts; --";
    report.slot = 3;
    report.outcome = UpdateOutcome::NotStarted;
    report.text = "Not updated: the device was pulled before its unit's label was scanned.";
    const auto record = readRecord(logLine(report, {"1.1.0", "bench", "line 3", "o'brien"}));
    ASSERT_TRUE(record) << record.error();
    EXPECT_EQ(record->attempt, report.attempt);
    const auto value = [&](const char* column) -> std::string {
        const auto& columns = recordColumns();
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (std::string(columns[i].name) == column)
                return record->values[i].value_or("NULL");
        ADD_FAILURE() << "no column " << column;
        return {};
    };
    EXPECT_EQ(value("unit"), report.unit);
    EXPECT_EQ(value("slot"), "3");
    EXPECT_EQ(value("station"), "line 3");
    EXPECT_EQ(value("operator"), "o'brien");
    EXPECT_EQ(value("outcome"), "unit_not_scanned") << "the name records have always had";
    EXPECT_EQ(value("port_number"), "NULL");
    EXPECT_NE(value("device"), report.device) << "the readable form replaces what is not UTF-8";
}

TEST(LogBatches, ARefusedRecordIsSetAsideAndTheRestGoIn) {
    std::vector<LogLine> lines;
    for (int n = 1; n <= 8; ++n) {
        auto record = readRecord(lineFor(n));
        ASSERT_TRUE(record) << record.error();
        lines.push_back({std::uint64_t(n), *record});
    }
    ScriptedDatabase database;
    database.refusedEnds = {"000000000003", "000000000008"};
    std::vector<std::uint64_t> setAside;
    const auto added =
        insertSettingAside(database, lines, [&](const LogLine& line, const std::string& why) {
            setAside.push_back(line.number);
            EXPECT_EQ(why, "value too long for an index");
        });
    ASSERT_TRUE(added);
    EXPECT_EQ(*added, 6u);
    EXPECT_EQ(setAside, (std::vector<std::uint64_t>{3, 8}));
    EXPECT_EQ(database.stored.size(), 6u);
    EXPECT_LT(database.statements, 16) << "halved, not one statement per record";
}
