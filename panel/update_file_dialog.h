#pragma once
// The file dialog both windows open: the desktop's own where its platform
// theme offers one, else Qt's, large enough that its columns are not cut;
// only names that end in .j4u are taken whatever the operator types (Qt's
// dialog stays open, a desktop's is opened again), in the folder last used.

#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QTimer>

#include <functional>

#include "window_settings.h"

namespace j4 {

class UpdateFileDialog final : public QFileDialog {
public:
    explicit UpdateFileDialog(QWidget* parent)
        : QFileDialog(parent, QStringLiteral("Choice Update File")) {
        setObjectName(QStringLiteral("fileDialog"));
        setAttribute(Qt::WA_DeleteOnClose);
        setFileMode(QFileDialog::ExistingFile);
        setAcceptMode(QFileDialog::AcceptOpen);
        setNameFilter(QStringLiteral("J4 Update files (*.j4u)"));
        // The folder of the last file chosen, as long as it is still there.
        if (const QString folder = windowSettings().value(kFolderKey).toString();
            QFileInfo(folder).isDir())
            setDirectory(folder);
        resize(sizeHint().expandedTo(
            QSize(fontMetrics().averageCharWidth() * 100, fontMetrics().height() * 24)));
    }

    // Opens the dialog over `parent`; `chosen` gets the file taken. A
    // desktop's dialog, which may return any name, is opened again then, as
    // Qt's stays open. The dialog, for more connections.
    static UpdateFileDialog* ask(QWidget* parent, std::function<void(const QString&)> chosen) {
        auto* dialog = new UpdateFileDialog(parent);
        QObject::connect(
            dialog, &QFileDialog::fileSelected, parent, [parent, chosen](const QString& path) {
                if (takes(path))
                    chosen(path);
                else
                    QTimer::singleShot(0, parent, [parent, chosen] { ask(parent, chosen); });
            });
        dialog->open();
        return dialog;
    }

    // Whether `file` is one the dialog takes.
    static bool takes(const QString& file) {
        return !QFileInfo(file).isDir() &&
               file.endsWith(QLatin1String(".j4u"), Qt::CaseInsensitive);
    }

    // Remembers the folder of a file chosen, for the next dialog.
    static void remember(const QString& file) {
        windowSettings().setValue(kFolderKey, QFileInfo(file).absolutePath());
    }

    void accept() override {
        const QStringList files = selectedFiles();
        if (!files.isEmpty() && !QFileInfo(files.first()).isDir() && !takes(files.first()))
            return;
        QFileDialog::accept();
    }

private:
    static inline const QString kFolderKey = QStringLiteral("fileFolder");
};

} // namespace j4
