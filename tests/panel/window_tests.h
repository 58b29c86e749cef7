#pragma once
// What the window tests share: finding a window's controls by name, and the
// palette of a dark desktop.

#include <QColor>
#include <QPalette>
#include <QWidget>
#include <QtGlobal>

namespace j4::testing {

// The control named `name`; a test without it cannot go on.
template <class T> T* control(const QWidget* window, const char* name) {
    T* widget = window->findChild<T*>(QString::fromLatin1(name));
    if (widget == nullptr)
        qFatal("no %s", name);
    return widget;
}

// A dark palette as qt6ct's "darker" gives: white text everywhere.
inline QPalette darkDesktopPalette() {
    QPalette dark;
    for (auto role : {QPalette::Window, QPalette::Button, QPalette::Base})
        dark.setColor(role, QColor(0x30, 0x30, 0x30));
    for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
        dark.setColor(role, Qt::white);
    return dark;
}

} // namespace j4::testing
