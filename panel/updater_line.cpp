// The updater window following a line: what the plant assigns it in the
// file's place, fetched off the UI thread and kept up to date while the
// window is open; each Start claims one of the work order's units.

#include "updater_window.h"

#include "ui_j4_updater.h"

namespace j4 {

void UpdaterWindow::followLine(line::FollowSettings settings) {
    lineName_ = QString::fromStdString(settings.line);
    ui_->fileNameLabel->setText(QStringLiteral("Line"));
    ui_->fileName->setText(lineName_);
    ui_->fileName->setAccessibleName(QStringLiteral("Line"));
    ui_->chooseFileButton->setEnabled(false);
    setAcceptDrops(false);
    ui_->releaseLine->setText(
        QStringLiteral("Line %1: what the plant assigns it is being fetched and checked.")
            .arg(lineName_));
    ui_->startButton->setEnabled(false);
    resume_->follow(settings.url, settings.line);
    job_.followLine(lineWatch_.line());
    lineWatch_.start(std::move(settings), this,
                     {[this](const QString& sends, const QString& held) { showLine(sends, held); },
                      [this](const QString& text) { lineNoticed(text); }});
}

void UpdaterWindow::showLine(const QString& sends, const QString& held) {
    const QString text = QStringLiteral("Line %1: %2.").arg(lineName_, sends);
    ui_->releaseLine->setToolTip(text);
    ui_->releaseLine->setText(ui_->releaseLine->fontMetrics().elidedText(
        text, Qt::ElideRight, ui_->releaseLine->width()));
    lineHeld_ = held;
    showLineNote();
    if (!lineFetched_) {
        lineFetched_ = true;
        ui_->startButton->setEnabled(true);
    }
}

// During an attempt it joins the attempt's message; else it stays in view
// under the line, unless the line is held: then the hold is said there.
void UpdaterWindow::lineNoticed(const QString& text) {
    if (updating_) {
        pendingNotice_ += (pendingNotice_.isEmpty() ? QString() : QStringLiteral(" ")) + text;
        return;
    }
    lineSaid_ = text;
    showLineNote();
}

void UpdaterWindow::showLineNote() {
    const bool held = !lineHeld_.isEmpty();
    const QString text = held ? QStringLiteral("Held: %1.").arg(lineHeld_) : lineSaid_;
    ui_->lineNote->setText(text);
    ui_->lineNote->setVisible(!text.isEmpty());
    ui_->resumeButton->setVisible(held);
    ui_->resumeButton->setEnabled(held && !resume_->running());
}

} // namespace j4
