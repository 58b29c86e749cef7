// A station window that follows its line: what the plant assigns it shown
// in place of a file, its hold said beside it, and a Resume that asks first.

#include "station_window.h"
#include "ui_station_window.h"

namespace j4 {

void StationWindow::followLine(line::FollowSettings settings) {
    const QString name = QString::fromStdString(settings.line);
    resume_->follow(settings.url, settings.line);
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
    ui_->resumeButton->setEnabled(!held.isEmpty() && !resume_->running());
}

void StationWindow::askToResumeLine() {
    resume_->ask(ui_->lineHold->text());
}

} // namespace j4
