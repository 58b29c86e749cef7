#include "update_log.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <thread>
#include <vector>

using namespace j4;

TEST(UpdateLog, TimesAreUtcToTheMillisecond) {
    using namespace std::chrono;
    EXPECT_EQ(utcTimestamp(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(utcTimestamp(system_clock::time_point{milliseconds{1796601600123}}),
              "2026-12-07T00:00:00.123Z");
    EXPECT_EQ(utcTimestamp(system_clock::time_point{seconds{951782400}}),
              "2000-02-29T00:00:00.000Z"); // a leap day
}

TEST(UpdateLog, ConcurrentWritersNeverInterleaveOrLoseALine) {
    const std::string path = ::testing::TempDir() + "update_log_test.jsonl";
    std::remove(path.c_str());
    UpdateReport report;
    report.filePath = "/updates/u.j4u";
    report.text = "Update is completed.";
    // Long enough that a line would be split by any buffered writer.
    report.detail = std::string(20000, 'x');
    report.device = "/dev/\xff-not-utf8";
    report.unit = "SN'); DROP TABLE attempts; --";
    std::vector<std::thread> writers;
    for (int w = 0; w < 8; ++w) {
        writers.emplace_back([&, w] {
            UpdateReport mine = report;
            mine.portNumber = w;
            for (int i = 0; i < 50; ++i)
                EXPECT_TRUE(UpdateLog(path).append(mine, {"1.1.0", "bench", "line 3", "o'brien"}));
        });
    }
    for (auto& writer : writers)
        writer.join();
    std::ifstream in(path);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        const auto entry = nlohmann::json::parse(line); // throws on a torn line
        EXPECT_EQ(entry["detail"].get<std::string>().size(), 20000u);
        EXPECT_EQ(entry["outcome"], "completed");
        EXPECT_EQ(entry["unit"], "SN'); DROP TABLE attempts; --");
        EXPECT_EQ(entry["station"], "line 3");
        EXPECT_EQ(entry["operator"], "o'brien");
        EXPECT_TRUE(entry["attempt"].is_null()); // given by the run, not the log
        ++lines;
    }
    EXPECT_EQ(lines, 400);
    const auto refused = UpdateLog("/nonexistent/folder/log").append(report, {});
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error(), "");
}
