#pragma once
// "Stop the update?", asked of the operator who closes a window (or presses
// Escape) during a transfer. One question at a time; `stop` runs on yes.

#include <QMessageBox>
#include <QWidget>

#include <functional>

namespace j4 {

inline void askToStopUpdate(QWidget* window, std::function<void()> stop) {
    if (window->findChild<QMessageBox*>(QStringLiteral("stopQuestion")) != nullptr)
        return;
    auto* box = new QMessageBox(QMessageBox::Question, window->windowTitle(),
                                QStringLiteral("Stop the update?"),
                                QMessageBox::Yes | QMessageBox::No, window);
    box->setObjectName(QStringLiteral("stopQuestion"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setDefaultButton(QMessageBox::No);
    QObject::connect(box, &QMessageBox::buttonClicked, window,
                     [box, stop = std::move(stop)](QAbstractButton* button) {
                         if (box->standardButton(button) == QMessageBox::Yes)
                             stop();
                     });
    box->open();
}

} // namespace j4
