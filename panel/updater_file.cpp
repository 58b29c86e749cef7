// The update window's file: chosen with the dialog, dropped from the file
// manager, given on the command line, or the last one, remembered.

#include "updater_window.h"

#include "release_check.h"
#include "ui_j4_updater.h"
#include "update_file_dialog.h"
#include "update_file_reader.h"
#include "window_settings.h"

#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

namespace j4 {
namespace {

const QString kLastFileKey = QStringLiteral("lastFile");
const QString kLastFileStampKey = QStringLiteral("lastFileStamp");

// What tells a file changed since it was chosen: its size and time.
QString stampOf(const QFileInfo& file) {
    return QStringLiteral("%1 %2").arg(file.size()).arg(file.lastModified().toMSecsSinceEpoch());
}

// The one .j4u file a drag carries, or nothing.
QString droppedFile(const QMimeData* data) {
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return {};
    const QString path = urls.first().toLocalFile();
    return path.endsWith(QLatin1String(".j4u"), Qt::CaseInsensitive) ? path : QString();
}
} // namespace

void UpdaterWindow::chooseFile() {
    if (updating_ || followsLine())
        return;
    ui_->fileName->clear();
    auto* dialog =
        UpdateFileDialog::ask(this, [this](const QString& path) { setUpdateFile(path); });
    connect(dialog, &QDialog::rejected, this, [this] {
        // Start sends the file named before; the operator must keep seeing it.
        ui_->fileName->setText(chosenFile_);
    });
}

void UpdaterWindow::setUpdateFile(const QString& path) {
    UpdateFileDialog::remember(path);
    QSettings settings = windowSettings();
    settings.setValue(kLastFileKey, path);
    settings.setValue(kLastFileStampKey, stampOf(QFileInfo(path)));
    takeFile(path);
}

void UpdaterWindow::takeFile(const QString& path) {
    chosenFile_ = path;
    ui_->fileName->setText(path);
    // Opened now only to tell the operator at once when it cannot be; Start
    // reads it afresh, so a file replaced meanwhile is sent as it is then.
    const UpdateFileReader::Opened opened =
        UpdateFileReader::open(path.toStdString(), UpdateFileReader::Kinds::RegularOnly);
    if (!opened) {
        showMessage(MessageKind::Error, QString::fromUtf8(kFileOpenErrorText),
                    QString::fromStdString(fileOpenDetail(path.toStdString(), opened.error())));
        return;
    }
    ui_->startButton->setEnabled(showRelease(path));
}

bool UpdaterWindow::showRelease(const QString& path) {
    ui_->releaseLine->clear();
    ui_->releaseLine->setToolTip({});
    const auto policy = release::ReleasePolicy::load({});
    if (policy && !policy->active())
        return true; // no trusted key: files go unsigned, as ever
    // Checked now to tell the operator at once; Start checks the file again,
    // over the very bytes it sends.
    const PreparedFile prepared =
        policy ? policy->prepare(QFile::encodeName(path).toStdString(),
                                 UpdateFileReader::Kinds::RegularOnly)
               : PreparedFile::refused(UpdateOutcome::FileRefused, policy.error());
    const QString text = QString::fromStdString(
        prepared.ok() ? release::signerLine(*prepared.decoded) : prepared.text);
    ui_->releaseLine->setToolTip(
        prepared.ok() ? text : text + QLatin1Char('\n') + QString::fromStdString(prepared.detail));
    ui_->releaseLine->setText(ui_->releaseLine->fontMetrics().elidedText(
        text, Qt::ElideRight, ui_->releaseLine->width()));
    return prepared.ok();
}

void UpdaterWindow::offerLastFile() {
    const QSettings settings = windowSettings();
    const QString last = settings.value(kLastFileKey).toString();
    if (!chosenFile_.isEmpty() || last.isEmpty() || !QFileInfo(last).isFile())
        return;
    const QString stamp = settings.value(kLastFileStampKey).toString();
    takeFile(last); // already remembered: nothing to write at start
    const QFileInfo now(last);
    if (stamp != stampOf(now) && ui_->releaseLine->text().isEmpty())
        ui_->releaseLine->setText(
            QStringLiteral("Changed since it was chosen: now %1 bytes, %2.")
                .arg(now.size())
                .arg(QLocale().toString(now.lastModified(), QLocale::ShortFormat)));
}

void UpdaterWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!updating_ && !droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void UpdaterWindow::dropEvent(QDropEvent* event) {
    const QString path = droppedFile(event->mimeData());
    if (updating_ || path.isEmpty())
        return;
    event->acceptProposedAction();
    setUpdateFile(path);
}

} // namespace j4
