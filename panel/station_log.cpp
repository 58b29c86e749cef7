// The station window's log: each line with its time, copied or saved whole.

#include "station_window.h"
#include "ui_station_window.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QSaveFile>
#include <QTime>

namespace j4 {

void StationWindow::appendLog(const QString& line) {
    ui_->logView->appendPlainText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss  ")) +
                                  line);
}

void StationWindow::copyLog() {
    QGuiApplication::clipboard()->setText(ui_->logView->toPlainText());
}

void StationWindow::saveLog() {
    auto* dialog = new QFileDialog(this, QStringLiteral("Save log"));
    dialog->setObjectName(QStringLiteral("saveLogDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter(QStringLiteral("Text files (*.txt)"));
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(ui_->logView->toPlainText().toUtf8() + '\n') < 0 || !file.commit())
            appendLog(QStringLiteral("The log could not be saved to %1: %2. Choose another file.")
                          .arg(path, file.errorString()));
    });
    dialog->open();
}

} // namespace j4
