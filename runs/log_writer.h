#pragma once
// The update log as both fronts keep it: a line per attempt when a log is
// named, and a log that cannot be written said once, never failing an update.

#include "update_log.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>

namespace j4::runs {

class LogWriter {
public:
    // `path` empty: nothing is logged. `station` and `operatorName` empty:
    // the host's name and the login's.
    explicit LogWriter(std::string path, std::string station = {}, std::string operatorName = {});

    // Appends the attempt. The first time the log cannot be written, a
    // sentence for the operator; nothing otherwise. Safe from several threads.
    std::optional<std::string> append(const UpdateReport& report);
    const std::string& path() const { return log_.path(); }
    // Called after each line is in the log (the records' sender looks at
    // once); set before the first attempt.
    void afterAppend(std::function<void()> appended) { appended_ = std::move(appended); }

private:
    UpdateLog log_;
    LogOrigin origin_;
    std::atomic<bool> failed_{false};
    std::function<void()> appended_;
};

// The log J4_UPDATE_LOG names (its bytes, UTF-8 or not); empty when unset.
std::string logFromEnvironment();
// The station J4_STATION_ID names; empty when unset.
std::string stationFromEnvironment();
// `station`, or the host's name when it is empty.
std::string stationOrHost(std::string station);

} // namespace j4::runs
