#include "log_writer.h"

#include "j4_version.h"

#include <QByteArray>
#include <QString>
#include <QSysInfo>

namespace j4::runs {

LogWriter::LogWriter(std::string path)
    : log_(std::move(path)), host_(QSysInfo::machineHostName().toStdString()) {}

std::optional<std::string> LogWriter::append(const UpdateReport& report) {
    if (log_.path().empty())
        return std::nullopt;
    const auto written = log_.append(report, {kVersion, host_});
    if (written || failed_.exchange(true))
        return std::nullopt;
    return "The update log " + log_.path() + " cannot be written (" + written.error() +
           "); the update goes on without it.";
}

std::string logFromEnvironment() {
    return qgetenv("J4_UPDATE_LOG").toStdString();
}

} // namespace j4::runs
