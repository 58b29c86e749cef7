#include "device_folder_watch.h"

#include "port_names.h"

namespace j4 {

DeviceFolderWatch::DeviceFolderWatch(QObject* parent) : QObject(parent) {
    settle_.setSingleShot(true);
    settle_.setInterval(100);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_,
            qOverload<>(&QTimer::start));
    connect(&settle_, &QTimer::timeout, this, &DeviceFolderWatch::changed);
}

void DeviceFolderWatch::watch(const QStringList& devicePaths) {
    devicePaths_ = devicePaths;
    if (const QStringList folders = foldersToWatch(devicePaths); !folders.isEmpty())
        watcher_.addPaths(folders);
}

void DeviceFolderWatch::suspend() {
    if (const QStringList folders = watcher_.directories(); !folders.isEmpty())
        watcher_.removePaths(folders);
}

void DeviceFolderWatch::resume() {
    watch(devicePaths_);
    nudge(); // what changed meanwhile
}

} // namespace j4
