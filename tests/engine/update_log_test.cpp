#include "update_log.h"

#include <gtest/gtest.h>

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
    // Long enough that a line would be split by any buffered writer.
    const auto lineOf = [](int writer) { return std::to_string(writer) + std::string(20000, 'x'); };
    std::vector<std::thread> writers;
    for (int w = 0; w < 8; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 50; ++i)
                EXPECT_TRUE(UpdateLog(path).appendText(lineOf(w) + "\n"));
        });
    }
    for (auto& writer : writers)
        writer.join();
    std::ifstream in(path);
    std::string line;
    std::vector<int> perWriter(8);
    while (std::getline(in, line)) {
        const int writer = line.empty() ? -1 : line.front() - '0';
        ASSERT_TRUE(writer >= 0 && writer < 8 && line == lineOf(writer)) << "a torn line";
        ++perWriter[writer];
    }
    EXPECT_EQ(perWriter, std::vector<int>(8, 50));
    const auto refused = UpdateLog("/nonexistent/folder/log").appendText("a line\n");
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error(), "");
}
