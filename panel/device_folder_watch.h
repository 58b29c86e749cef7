#pragma once
// Devices coming and going where a window's ports and slots lead, heard
// through the folders their device nodes and names appear in.

#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace j4 {

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
