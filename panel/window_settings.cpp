#include "window_settings.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace j4 {

QString settingsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/j4-updater");
}

QSettings windowSettings() {
    return QSettings(settingsFolder() + QStringLiteral("/j4_updater.conf"), QSettings::IniFormat);
}

void settleSettings() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsFolder());
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString old = config + QStringLiteral("/Ferrowan GmbH/j4_updater.conf");
    const QString now = settingsFolder() + QStringLiteral("/j4_updater.conf");
    if (!QFile::exists(old) || QFile::exists(now))
        return;
    QDir().mkpath(settingsFolder());
    if (QFile::rename(old, now))
        QDir(config).rmdir(QStringLiteral("Ferrowan GmbH")); // only when it is left empty
}

} // namespace j4
