#include "window_upkeep.h"

#include "port_names.h"

namespace j4 {

WindowExit::WindowExit(std::function<bool()> busy, std::function<void()> stop, QObject* parent)
    : QObject(parent), busy_(std::move(busy)), stop_(std::move(stop)) {}

void WindowExit::shutDown(int exitCode) {
    if (!busy_()) {
        emit exitRequested(exitCode);
        return;
    }
    exitWhenIdle_ = exitCode;
    stop_();
}

bool WindowExit::workEnded() {
    if (!exitWhenIdle_)
        return false;
    emit exitRequested(*exitWhenIdle_);
    return true;
}

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
