#pragma once
// --json: what happens, one JSON object per line on standard output, for the
// programs that drive j4_flash; the lines for people go to standard error.
// The schema is versioned ("schema": 1) and only grows: a reader ignores
// fields it does not know. Every object has "schema", "event" and "time"
// (UTC, ISO 8601); the events and their fields are listed in the README.

#include "attempt.h"
#include "attempt_report.h"
#include "unit_scans.h"
#include "update_log.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace j4::cli {

inline constexpr int kJsonSchema = 1;

class JsonEvents {
public:
    explicit JsonEvents(std::FILE* out) : out_(out) {}
    // Writes `event` with the schema, its name and the time, as one line.
    void write(const std::string& name, nlohmann::json event);

private:
    std::mutex mutex_;
    std::FILE* out_;
};

// A run's events as JSON, each passed on to `next`. `station`: devices are
// a station's slots, numbered from 1; else they are the targets in the
// order given, named by `labels`.
class JsonListener final : public runs::PassingListener {
public:
    // `origin`: the station and operator every result names, as the log does.
    JsonListener(JsonEvents& events, std::vector<std::string> labels, bool station,
                 runs::DeviceListener& next, runs::LogOrigin origin = {});

    void deviceSeen(std::size_t slot, const std::string& device) override;
    void waitingForUnit(std::size_t slot) override;
    void devicePulled(std::size_t slot) override;
    void started(std::size_t device, std::size_t totalBytes) override;
    void answered(std::size_t device, const TransferState& state,
                  std::chrono::steady_clock::duration sinceSent) override;
    void finished(std::size_t device, const runs::AttemptReport& report) override;

private:
    nlohmann::json where(std::size_t device) const;

    JsonEvents& events_;
    runs::LogOrigin origin_;
    std::vector<std::string> labels_;
    bool station_;
    // Each device's last progress event, on its own thread: at most four a
    // second, so a fast device does not flood its reader.
    std::vector<std::chrono::steady_clock::time_point> lastProgress_;
};

// A scan heard at a station: "scan", accepted (its unit, the slot it went
// to, the unit it replaced) or refused (why).
void writeScan(JsonEvents& events, const Result<station::ScanHeard>& heard);

// The attempt as an event's fields: its record, as the log has it, and its
// exit status.
nlohmann::json resultFields(const runs::AttemptReport& report, const std::string& station,
                            const std::string& operatorName);

} // namespace j4::cli
