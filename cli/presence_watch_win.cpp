#include "presence_watch.h"

#include <QThread>

namespace j4::cli {

// Windows has no /dev to watch: a station there looks again every half second.
struct PresenceWatch::System {};

PresenceWatch::PresenceWatch(const std::vector<QString>&) : system_(std::make_unique<System>()) {}

PresenceWatch::~PresenceWatch() = default;

bool PresenceWatch::wait(const std::atomic<bool>& stop) {
    for (int slice = 0; slice < 5 && !stop; ++slice)
        QThread::msleep(100);
    return !stop;
}

} // namespace j4::cli
