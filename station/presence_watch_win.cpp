#include "presence_watch.h"

#include <QSerialPortInfo>
#include <QThread>

#include <functional>

namespace j4::station {

std::optional<DeviceIdentity> identityOf(const std::string& path) {
    // A COM port is there while the system lists it; its name is its identity.
    const QSerialPortInfo info(QString::fromStdString(path));
    if (path.empty() || info.isNull())
        return std::nullopt;
    return DeviceIdentity{std::hash<std::string>{}(path), 0, 0};
}

// Windows has no /dev to watch: a station there looks again every half second.
struct PresenceWatch::System {};

PresenceWatch::PresenceWatch(const std::vector<QString>&) : system_(std::make_unique<System>()) {}

PresenceWatch::~PresenceWatch() = default;

std::string PresenceWatch::fallbackReason() const {
    return {}; // looking every half second is how Windows is always watched
}

bool PresenceWatch::wait(const std::atomic<bool>& stop) {
    for (int slice = 0; slice < 5 && !stop; ++slice)
        QThread::msleep(100);
    return !stop;
}

} // namespace j4::station
