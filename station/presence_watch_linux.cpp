#include "presence_watch.h"

#include "port_names.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace j4::station {
namespace {

// A wait wakes this often to see a stop request; it re-checks nothing.
constexpr int kStopSliceMs = 100;
// The device numbers of pseudo-terminals' device sides (Unix98).
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;
// Without a watch, the slots are looked at this often.
constexpr int kFallbackSlices = 5;

std::string failureText(const char* call, const QString& folder = {}) {
    const int error = errno;
    std::string text = std::string(call) + (folder.isEmpty() ? "" : " " + folder.toStdString()) +
                       ": " + std::strerror(error);
    if (error == EMFILE || error == ENOSPC)
        text += "; the system's fs.inotify.max_user_instances or max_user_watches is used up";
    return text;
}

} // namespace

std::optional<DeviceIdentity> identityOf(const std::string& path) {
    struct stat device {};
    if (path.empty() || ::stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode))
        return std::nullopt;
    DeviceIdentity identity{device.st_rdev, device.st_ino, 0};
    // A pseudo-terminal's node is made when its pair is, and nothing touches
    // it after; a USB adapter's node gets a new number instead (and udev
    // touches its times on every event, so they could not serve).
    const unsigned major = ::major(device.st_rdev);
    if (major >= kFirstPtyMajor && major <= kLastPtyMajor)
        identity.createdNs = static_cast<std::int64_t>(device.st_ctim.tv_sec) * 1'000'000'000 +
                             device.st_ctim.tv_nsec;
    return identity;
}

struct PresenceWatch::System {
    int fd = -1;
    std::vector<QString> folders;
    std::string failure; // set once: from then on the slots are looked at

    // Watches each folder that exists; one that does not yet (/dev/serial
    // before the first USB adapter) is watched once it appears.
    void watchAll() {
        for (const QString& folder : folders) {
            if (failure.empty() && QFileInfo(folder).isDir() &&
                ::inotify_add_watch(fd, QFile::encodeName(folder).constData(),
                                    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                                        IN_ATTRIB | IN_DELETE_SELF) < 0)
                failure = failureText("inotify_add_watch", folder);
        }
    }
};

PresenceWatch::PresenceWatch(const std::vector<QString>& paths)
    : system_(std::make_unique<System>()) {
    system_->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (system_->fd < 0)
        system_->failure = failureText("inotify_init1");
    for (const QString& folder : deviceFolders())
        system_->folders.push_back(folder);
    for (const QString& path : paths)
        system_->folders.push_back(QFileInfo(path).absolutePath());
    system_->watchAll();
}

PresenceWatch::~PresenceWatch() {
    if (system_->fd >= 0)
        ::close(system_->fd);
}

std::string PresenceWatch::fallbackReason() const {
    return system_->failure;
}

bool PresenceWatch::wait(const std::atomic<bool>& stop) {
    if (!system_->failure.empty()) {
        for (int slice = 0; slice < kFallbackSlices && !stop; ++slice)
            ::poll(nullptr, 0, kStopSliceMs);
        return !stop;
    }
    while (!stop) {
        pollfd p{system_->fd, POLLIN, 0};
        if (::poll(&p, 1, kStopSliceMs) <= 0)
            continue;
        char events[4096];
        while (::read(system_->fd, events, sizeof events) > 0) {
        }
        // A folder may have appeared (or been made again): watch it too.
        system_->watchAll();
        return true;
    }
    return false;
}

} // namespace j4::station
