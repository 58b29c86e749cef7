#pragma once
// A completed attempt as the records benchmarks send it: its slot and
// device from `number`, started and ended now.

#include "attempt.h"

#include <chrono>
#include <string>

namespace j4::bench {

inline runs::AttemptReport sampleReport(int number, const std::string& filePath) {
    runs::AttemptReport report;
    report.attempt = runs::newAttemptId();
    report.filePath = filePath;
    report.fileSha256 = std::string(64, 'a');
    report.slot = number % 8 + 1;
    report.device = "/dev/serial/by-path/slot" + std::to_string(number % 8 + 1);
    report.startedAt = report.endedAt = std::chrono::system_clock::now();
    report.text = "Update is completed.";
    return report;
}

} // namespace j4::bench
