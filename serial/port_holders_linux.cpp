#include "port_holders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace j4::platform {

std::string otherHolders(const QString& device) {
    const QString self = QString::number(::getpid());
    std::string holders;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid == self || !pid.front().isDigit())
            continue;
        // Other users' descriptors cannot be read: only what can be seen counts.
        const QDir fds(proc.filePath(pid + QLatin1String("/fd")));
        bool holds = false;
        for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() == device) {
                holds = true;
                break;
            }
        }
        if (!holds)
            continue;
        QFile comm(proc.filePath(pid + QLatin1String("/comm")));
        comm.open(QIODevice::ReadOnly);
        const std::string name = comm.readAll().trimmed().toStdString();
        holders += (holders.empty() ? "" : ", ") + name + " (PID " + pid.toStdString() + ")";
    }
    return holders;
}

} // namespace j4::platform
