#include "log_writer.h"

#include "account_name.h"

#include "j4_version.h"

#include <QByteArray>
#include <QString>
#include <QSysInfo>

namespace j4::runs {

LogWriter::LogWriter(std::string path, std::string station, std::string operatorName)
    : log_(std::move(path)), origin_(lineOrigin(std::move(station), std::move(operatorName))) {}

LogOrigin lineOrigin(std::string station, std::string operatorName) {
    return {kVersion, QSysInfo::machineHostName().toStdString(), stationOrHost(std::move(station)),
            operatorName.empty() ? loginName() : std::move(operatorName)};
}

Result<Done> LogWriter::writeWaiting() {
    while (!waiting_.empty()) {
        if (auto written = log_.appendText(waiting_.front()); !written)
            return written;
        waiting_.pop_front();
    }
    return Done{};
}

std::optional<std::string> LogWriter::append(const AttemptReport& report) {
    if (log_.path().empty())
        return std::nullopt;
    std::optional<std::string> said;
    bool wrote = false;
    std::size_t before = 0;
    std::size_t after = 0;
    {
        const std::lock_guard lock(mutex_);
        before = waiting_.size();
        waiting_.push_back(logLine(report, origin_) + "\n");
        const auto written = writeWaiting();
        wrote = written.has_value();
        if (!written) {
            said = "The update log " + log_.path() + " cannot be written (" + written.error() +
                   "): this attempt" +
                   (before == 0 ? std::string(" is")
                                : " and " + std::to_string(before) + " before it are") +
                   " kept in memory and written when it can take them.";
        } else if (before > 0) {
            said = "The update log " + log_.path() + " is written again: the " +
                   std::to_string(before + 1) + " attempts that waited are in it.";
        }
        // Told under the lock: two devices' attempts ending together must
        // not tell their counts in the wrong order, leaving a stale one.
        after = waiting_.size();
        if (after != before && waitingChanged_)
            waitingChanged_(after);
    }
    if (wrote && appended_)
        appended_();
    return said;
}

std::optional<std::string> LogWriter::flush() {
    const std::lock_guard lock(mutex_);
    if (waiting_.empty())
        return std::nullopt;
    const std::size_t count = waiting_.size();
    const auto written = writeWaiting();
    if (waitingChanged_ && waiting_.size() != count)
        waitingChanged_(waiting_.size());
    if (!written)
        return std::to_string(waiting_.size()) + " of the attempts could not be written to " +
               log_.path() + " (" + written.error() + ") and are lost with this program's end.";
    if (appended_)
        appended_();
    return "The update log " + log_.path() + " is written again: the " + std::to_string(count) +
           " attempts that waited are in it.";
}

std::optional<std::string> LogWriter::check() {
    if (log_.path().empty() || log_.path() == "-")
        return std::nullopt;
    const std::lock_guard lock(mutex_);
    // Nothing is written: the file is made if need be, and a torn last line
    // is ended.
    if (const auto written = log_.appendText({}); !written)
        return "The update log " + log_.path() + " cannot be written (" + written.error() +
               "): attempts are kept in memory until it can, and lost if the station ends "
               "first. Give the station a log it can write.";
    return std::nullopt;
}

std::string logFromEnvironment() {
    return qgetenv("J4_UPDATE_LOG").toStdString();
}

std::string stationOrHost(std::string station) {
    return station.empty() ? QSysInfo::machineHostName().toStdString() : station;
}

std::string stationFromEnvironment() {
    return qgetenv("J4_STATION_ID").toStdString();
}

} // namespace j4::runs
