// A station window that follows its line: what the plant assigns it shown
// in place of a file, its hold said beside it, and a Resume that asks first.

#include "station_window.h"
#include "ui_station_window.h"

#include <QMessageBox>

namespace j4 {

void StationWindow::followLine(plant::FollowSettings settings) {
    const QString name = QString::fromStdString(settings.line);
    line_.follow = std::move(settings);
    ui_->fileNameLabel->setText(QStringLiteral("Line"));
    ui_->fileName->setText(name);
    ui_->fileName->setAccessibleName(QStringLiteral("Line"));
    ui_->fileSummary->setText(
        QStringLiteral("Line %1: what the plant assigns it is fetched and checked at the start.")
            .arg(name));
    updateControls();
}

void StationWindow::showLine(const QString& sends, const QString& held) {
    const QString name = QString::fromStdString(line_.follow->line);
    ui_->fileSummary->setText(QStringLiteral("Line %1: %2.").arg(name, sends));
    ui_->lineHold->setText(held.isEmpty() ? QString() : QStringLiteral("Held: %1.").arg(held));
    ui_->lineHold->setVisible(!held.isEmpty());
    ui_->resumeButton->setVisible(!held.isEmpty());
    ui_->resumeButton->setEnabled(!held.isEmpty() && !resumeJob_.running());
}

void StationWindow::askToResumeLine() {
    if (!line_.follow || findChild<QMessageBox*>(QStringLiteral("resumeQuestion")) != nullptr)
        return;
    const QString name = QString::fromStdString(line_.follow->line);
    auto* box = new QMessageBox(QMessageBox::Question, windowTitle(),
                                QStringLiteral("Resume line %1?").arg(name),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setInformativeText(
        QStringLiteral("%1\nEvery station of the line goes on.").arg(ui_->lineHold->text()));
    box->setObjectName(QStringLiteral("resumeQuestion"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setDefaultButton(QMessageBox::No);
    connect(box, &QMessageBox::buttonClicked, this, [this, box](QAbstractButton* button) {
        if (box->standardButton(button) == QMessageBox::Yes)
            resumeLine();
    });
    box->open();
}

// Off the UI thread: the database may take its time to answer. The line's
// stations, this one too, hear that it goes on from the database itself.
void StationWindow::resumeLine() {
    if (resumeJob_.running())
        return;
    ui_->resumeButton->setEnabled(false);
    resumeJob_.start(this, [url = line_.follow->url, line = line_.follow->line,
                            this](const std::atomic<bool>& stop, const WorkerJob::Post&) {
        const auto resumed = plant::resumeLine(url, line, stop);
        const QString name = QString::fromStdString(line);
        const QString said = !resumed ? QStringLiteral("Line %1 could not be resumed: %2.")
                                            .arg(name, QString::fromStdString(resumed.error()))
                             : *resumed ? QStringLiteral("Line %1 resumed.").arg(name)
                                        : QStringLiteral("Line %1 was not held.").arg(name);
        return std::function<void()>([this, said] {
            appendLog(said);
            ui_->resumeButton->setEnabled(ui_->resumeButton->isVisible());
        });
    });
}

} // namespace j4
