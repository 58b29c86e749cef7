#pragma once
// The file dialog both windows open: Qt's own (the same everywhere, so the
// extension rule holds everywhere), taking only names that end in .j4u
// whatever the operator types, opened in the folder last used.

#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>

#include "window_settings.h"

namespace j4 {

class UpdateFileDialog final : public QFileDialog {
public:
    explicit UpdateFileDialog(QWidget* parent)
        : QFileDialog(parent, QStringLiteral("Choice Update File")) {
        setObjectName(QStringLiteral("fileDialog"));
        setAttribute(Qt::WA_DeleteOnClose);
        setOption(QFileDialog::DontUseNativeDialog);
        setFileMode(QFileDialog::ExistingFile);
        setAcceptMode(QFileDialog::AcceptOpen);
        setNameFilter(QStringLiteral("J4 Update files (*.j4u)"));
        // The folder of the last file chosen, as long as it is still there.
        if (const QString folder = windowSettings().value(kFolderKey).toString();
            QFileInfo(folder).isDir())
            setDirectory(folder);
    }

    // Remembers the folder of a file chosen, for the next dialog.
    static void remember(const QString& file) {
        windowSettings().setValue(kFolderKey, QFileInfo(file).absolutePath());
    }

    void accept() override {
        const QStringList files = selectedFiles();
        if (!files.isEmpty() && !QFileInfo(files.first()).isDir() &&
            !files.first().endsWith(QLatin1String(".j4u"), Qt::CaseInsensitive))
            return;
        QFileDialog::accept();
    }

private:
    static inline const QString kFolderKey = QStringLiteral("fileFolder");
};

} // namespace j4
