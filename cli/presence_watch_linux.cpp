#include "presence_watch.h"

#include "port_names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace j4::cli {
namespace {

// A wait wakes this often to see a stop request; it re-checks nothing.
constexpr int kStopSliceMs = 100;

} // namespace

std::optional<DeviceIdentity> identityOf(const std::string& path) {
    struct stat name {};
    struct stat device {};
    if (path.empty() || ::lstat(path.c_str(), &name) != 0 || ::stat(path.c_str(), &device) != 0 ||
        !S_ISCHR(device.st_mode))
        return std::nullopt;
    return DeviceIdentity{name.st_ino, device.st_rdev, device.st_ino};
}

struct PresenceWatch::System {
    int fd = -1;
    std::vector<QString> folders;

    // Watches each folder that exists; one that does not yet (/dev/serial
    // before the first USB adapter) is watched once it appears.
    void watchAll() {
        for (const QString& folder : folders) {
            if (QFileInfo(folder).isDir())
                ::inotify_add_watch(fd, QFile::encodeName(folder).constData(),
                                    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                                        IN_ATTRIB | IN_DELETE_SELF);
        }
    }
};

PresenceWatch::PresenceWatch(const std::vector<QString>& paths)
    : system_(std::make_unique<System>()) {
    system_->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
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

bool PresenceWatch::wait(const std::atomic<bool>& stop) {
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

} // namespace j4::cli
