#include "log_writer.h"

#include "j4_version.h"

#include <QByteArray>
#include <QString>
#include <QSysInfo>

namespace j4::runs {

namespace {

std::string loginName() {
    // USER on Linux, USERNAME on Windows.
    return qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME")).toStdString();
}

} // namespace

LogWriter::LogWriter(std::string path, std::string station, std::string operatorName)
    : log_(std::move(path)) {
    origin_ = {kVersion, QSysInfo::machineHostName().toStdString(),
               stationOrHost(std::move(station)),
               operatorName.empty() ? loginName() : std::move(operatorName)};
}

std::optional<std::string> LogWriter::append(const UpdateReport& report) {
    if (log_.path().empty())
        return std::nullopt;
    const auto written = log_.append(report, origin_);
    if (written && appended_)
        appended_();
    if (written || failed_.exchange(true))
        return std::nullopt;
    return "The update log " + log_.path() + " cannot be written (" + written.error() +
           "); the update goes on without it.";
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
