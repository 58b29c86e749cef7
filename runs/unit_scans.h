#pragma once
// The unit's own serial number, scanned from its label (a barcode scanner
// types it and ends with Enter) and given to the next device plugged into
// any slot: the device cannot say who it is, the label can.

#include "result.h"

#include <QRegularExpression>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

namespace j4::runs {

class UnitScans {
public:
    // `rule`: what a serial must match (a regular expression); any
    // non-empty line when empty.
    static Result<UnitScans> withRule(const std::string& rule);
    UnitScans(const UnitScans& other) : rule_(other.rule_) {}

    // A scanned line, kept for the next device plugged in: what the operator
    // hears (it replaced an earlier scan, or waits for a device), or why it
    // is refused.
    Result<std::string> scan(std::string line);
    // The waiting serial, taken; empty when none.
    std::string take();
    // Waits up to `bound` for a scan; true when one waits.
    bool waitForScan(std::chrono::milliseconds bound);

private:
    explicit UnitScans(QRegularExpression rule) : rule_(std::move(rule)) {}

    QRegularExpression rule_;
    std::mutex mutex_;
    std::condition_variable scanned_;
    std::string waiting_;
};

} // namespace j4::runs
