#include "operator_actions.h"

#include "panel_ids.h"
#include "update_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>

namespace j4 {
namespace {

const QString kError = QStringLiteral("Error");
const QString kInfo = QStringLiteral("Info");
const QString kFileOpenError = QStringLiteral("File open error!");

FilePtr openForReading(const QString& path) {
    return FilePtr(std::fopen(QFile::encodeName(path).constData(), "rb"));
}

QString fileOpenDetail(const QString& path) {
    return QStringLiteral("%1\n%2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
}

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

int Choice_File(int, int, int event, void* callbackData, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    auto& context = *static_cast<OperatorContext*>(callbackData);
    UpdaterState& s = context.state;
    OperatorUi& ui = context.ui;

    ui.resetTextBox(TEXTBOX_FILE_NAME, QString());
    const std::optional<QString> chosen = ui.fileSelectPopup(
        {s.dirname, QStringLiteral("*.j4u"), QStringLiteral("J4 Update files (*.j4u)"),
         QStringLiteral("Choice Update File"), true, true, true});
    if (!chosen) {
        // Start Update sends the file named by `fullname`; the operator must
        // keep seeing which one that is.
        if (!s.fullname.isEmpty())
            ui.resetTextBox(TEXTBOX_FILE_NAME, s.fullname);
        return 0;
    }
    s.fullname = *chosen;
    ui.resetTextBox(TEXTBOX_FILE_NAME, s.fullname);
    if (s.inFile) {
        s.inFile.reset();
        s.bFile_is_Open = 0;
    }
    s.inFile = openForReading(s.fullname);
    if (!s.inFile) {
        ui.messagePopup(kError, kFileOpenError, fileOpenDetail(s.fullname));
        return 0;
    }
    s.bFile_is_Open = 1;
    ui.setDimmed(BUTTON_START_UPDATE, false);
    return 0;
}

int Start_Update(int, int, int event, void* callbackData, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    auto& context = *static_cast<OperatorContext*>(callbackData);
    UpdaterState& s = context.state;
    OperatorUi& ui = context.ui;
    SerialLink& link = context.link;

    const auto fail = [&](const QString& text, const QString& detail) {
        ui.messagePopup(kError, text, detail);
        Prepare_Exit(context);
        return -1;
    };

    if (!s.bFile_is_Open) {
        // Every attempt after the first reads the file anew from disk.
        s.inFile = openForReading(s.fullname);
        if (!s.inFile)
            return fail(kFileOpenError, fileOpenDetail(s.fullname));
    }

    ui.setVisible(BUTTON_START_UPDATE, false);
    ui.setVisible(NUMERICSLIDE_PROGRESS, true);
    ui.setValue(NUMERICSLIDE_PROGRESS, 0);
    ui.displayPanel();

    s.ComPortNumber = ui.value(NUMERIC_COMPORT);

    s.ComErr = link.open(s.ComPortNumber);
    if (s.ComErr < 0) {
        const QString port =
            context.describePort ? context.describePort(s.ComPortNumber) : QString();
        return fail(fromStd(link.errorText(s.ComErr)), port);
    }
    link.flushInput();

    // A refused file never reaches the device: the attempt ends here.
    const LoadResult loaded = loadUpdateFile(s.inFile.get(), s.image);
    if (!loaded.ok())
        return fail(fromStd(loadErrorText(loaded)), s.fullname);

    ui.setPanelDimmed(true);
    ui.processEvents();

    const TransferOutcome outcome = runTransfer(s.image, link, s.counters, [&ui](int percent) {
        ui.setValue(NUMERICSLIDE_PROGRESS, percent);
    });

    const QString detail = fromStd(outcomeDetail(outcome, s.counters, s.image));
    if (outcome.completed()) {
        ui.setValue(NUMERICSLIDE_PROGRESS, 100);
        ui.messagePopup(kInfo, fromStd(outcomeText(outcome, link)), detail);
    } else {
        ui.messagePopup(kError, fromStd(outcomeText(outcome, link)), detail);
    }

    Prepare_Exit(context);
    ui.setPanelDimmed(false);
    return outcome.completed() ? 0 : -1;
}

void Prepare_Exit(OperatorContext& context) {
    UpdaterState& s = context.state;
    s.inFile.reset();
    context.link.close();
    context.ui.setVisible(NUMERICSLIDE_PROGRESS, false);
    context.ui.setVisible(BUTTON_START_UPDATE, true);
    s.image.bufferSize = 0;
    s.counters = TransferCounters{};
    s.bFile_is_Open = 0;
}

int Quit(int, int, int event, void* callbackData, int, int) {
    if (event == EVENT_COMMIT)
        static_cast<OperatorContext*>(callbackData)->ui.quitUserInterface();
    return 0;
}

} // namespace j4
