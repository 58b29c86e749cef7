#pragma once
// What both windows need around their work: ending the program only once
// the work off their thread has stopped, and hearing of devices coming and
// going where their ports and slots lead.

#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

namespace j4 {

// How a window whose work runs off its thread ends: at once when idle, else
// once the work has stopped (a transfer at its next frame boundary, its port
// closed).
class WindowExit final : public QObject {
    Q_OBJECT

public:
    WindowExit(std::function<bool()> busy, std::function<void()> stop, QObject* parent);

    void shutDown(int exitCode);
    // The work has ended: an exit waiting for it goes ahead. True when one did.
    bool workEnded();

signals:
    void exitRequested(int code);

private:
    std::function<bool()> busy_;
    std::function<void()> stop_;
    std::optional<int> exitWhenIdle_;
};

// The folders where devices appear (/dev, /dev/serial and those of the
// paths given): a burst of plugging settles into one `changed`.
class DeviceFolderWatch final : public QObject {
    Q_OBJECT

public:
    explicit DeviceFolderWatch(QObject* parent);

    void watch(const QStringList& devicePaths = {});
    // While a running station watches the same folders itself, this one
    // lets go of them: its events come through nudge() instead.
    void suspend();
    void resume();
    void nudge() { settle_.start(); }

signals:
    void changed();

private:
    QFileSystemWatcher watcher_;
    QTimer settle_;
    QStringList devicePaths_;
};

} // namespace j4
