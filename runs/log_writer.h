#pragma once
// The update log as both fronts keep it: a line per attempt when a log is
// named, and a log that cannot be written said once, never failing an update.

#include "attempt_report.h"
#include "update_log.h"

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace j4::runs {

class LogWriter {
public:
    // `path` empty: nothing is logged. `station` and `operatorName` empty:
    // the host's name and the login's.
    explicit LogWriter(std::string path, std::string station = {}, std::string operatorName = {});

    // Appends the attempt, after those that could not be written before
    // (a full disk): none is lost while the program runs. A sentence for
    // the operator each time an attempt cannot be written, and once when the
    // log takes them again; nothing otherwise. Safe from several threads.
    std::optional<std::string> append(const AttemptReport& report);
    // At the program's end: the attempts still waiting, tried once more;
    // a sentence naming those lost when the log still cannot take them.
    std::optional<std::string> flush();
    // At a station's start: why the log cannot be written, so that it is
    // said now, not at the first attempt of a shift; nothing when it can.
    std::optional<std::string> check();
    const std::string& path() const { return log_.path(); }
    const LogOrigin& origin() const { return origin_; }
    // Called after each line is in the log (the records' sender looks at
    // once); set before the first attempt.
    void afterAppend(std::function<void()> appended) { appended_ = std::move(appended); }
    // Called with the number of attempts waiting in memory whenever it
    // changes; set before the first attempt.
    void onWaiting(std::function<void(std::size_t)> changed) {
        waitingChanged_ = std::move(changed);
    }

private:
    // Writes what waits, in order; why not when the log refuses.
    Result<Done> writeWaiting();

    UpdateLog log_;
    LogOrigin origin_;
    std::mutex mutex_;
    std::deque<std::string> waiting_; // lines the log could not take yet
    std::function<void()> appended_;
    std::function<void(std::size_t)> waitingChanged_;
};

// Who and where every record of a run names: `station` empty, the host's
// name; `operatorName` empty, the login's (else the account's).
LogOrigin lineOrigin(std::string station, std::string operatorName);

// The log J4_UPDATE_LOG names (its bytes, UTF-8 or not); empty when unset.
std::string logFromEnvironment();
// The station J4_STATION_ID names; empty when unset.
std::string stationFromEnvironment();
// `station`, or the host's name when it is empty.
std::string stationOrHost(std::string station);

} // namespace j4::runs
