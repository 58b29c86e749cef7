#pragma once
// What the windows remember (the port, the folder and the last file, a
// station's slots), in one place: $XDG_CONFIG_HOME/j4-updater/, Qt's own
// file dialog's settings beside it. Earlier versions kept them in
// "~/.config/Ferrowan GmbH/j4_updater.conf"; they are moved from there once.

#include <QSettings>
#include <QString>

namespace j4 {

QString settingsFolder();
// The windows' settings file.
QSettings windowSettings();
// Qt's own settings go to the same folder, and the old file moves there
// unless there is a new one already. Once, before any window.
void settleSettings();

} // namespace j4
