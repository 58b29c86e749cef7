// The operator actions against a fake window, a fake link and real files.

#include "fake_link.h"
#include "fake_operator_ui.h"
#include "operator_actions.h"
#include "panel_ids.h"
#include "update_files.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace j4;
using j4::testing::FakeLink;
using j4::testing::FakeOperatorUi;

namespace {

// Link calls go into the window's log, so the order of the two is checked.
class LoggingLink : public FakeLink {
public:
    explicit LoggingLink(QStringList& log) : log_(log) {}
    int open(int port) override {
        log_ << QStringLiteral("open port %1").arg(port);
        return FakeLink::open(port);
    }
    void flushInput() override {
        log_ << QStringLiteral("flush");
        FakeLink::flushInput();
    }
    void close() override {
        log_ << QStringLiteral("close port");
        FakeLink::close();
    }

private:
    QStringList& log_;
};

UpdaterState& freshState() {
    static UpdaterState state;
    state.fullname.clear();
    state.inFile.reset();
    state.bFile_is_Open = 0;
    state.image.bufferSize = 0;
    state.counters = {};
    return state;
}

} // namespace

class OperatorActionsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeOperatorUi> ui;
    std::unique_ptr<LoggingLink> link;
    std::unique_ptr<OperatorContext> context;
    QByteArray image;
    QString file;

    int press(ControlCallback routine, int control, int event = EVENT_COMMIT) {
        return routine(PANEL_MAIN, control, event, context.get(), 0, 0);
    }
    int chooseFile(const QString& answer) { // empty: cancel
        ui->dialogAnswers.push_back(answer);
        return press(&Choice_File, BUTTON_FILE_CHOICE);
    }
    int startUpdate() { return press(&Start_Update, BUTTON_START_UPDATE); }
    void acceptAll(int frames) {
        for (int i = 0; i < frames; ++i)
            link->answer(ACK_BYTE);
    }
    // The "Idle after attempt" layout, with everything released.
    void verifyIdleAfterAttempt() {
        QVERIFY(!ui->visible[NUMERICSLIDE_PROGRESS]);
        QVERIFY(ui->visible[BUTTON_START_UPDATE]);
        QVERIFY(!ui->dimmed[BUTTON_START_UPDATE]);
        QVERIFY(!ui->panelDimmed);
        QCOMPARE(ui->text[TEXTBOX_FILE_NAME], context->state.fullname);
        QVERIFY(!context->state.inFile);
        QVERIFY(!link->isOpen);
        QCOMPARE(context->state.bFile_is_Open, std::uint8_t{0});
        QCOMPARE(context->state.image.bufferSize, 0);
        QCOMPARE(context->state.counters.bytesSent, 0);
        QCOMPARE(context->state.counters.retries, std::uint8_t{0});
        if (ui->log.contains("panel dim 1"))
            QCOMPARE(ui->log.last(), QStringLiteral("panel dim 0"));
    }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        ui = std::make_unique<FakeOperatorUi>();
        link = std::make_unique<LoggingLink>(ui->log);
        context = std::make_unique<OperatorContext>(
            OperatorContext{freshState(), *ui, *link,
                            [](int n) { return QStringLiteral("Port %1: /dev/x").arg(n); }});
        image = j4::testing::makeImage(3, 40);
        file = j4::testing::writeUpdateFile(dir->filePath("update.j4u"), image);
    }

    void routinesActOnlyOnCommit() {
        ui->dialogAnswers.push_back(file);
        for (int event : {0, 2, 3, 20}) {
            QCOMPARE(press(&Choice_File, BUTTON_FILE_CHOICE, event), 0);
            QCOMPARE(press(&Start_Update, BUTTON_START_UPDATE, event), 0);
            QCOMPARE(press(&Quit, COMMANDBUTTON, event), 0);
        }
        QVERIFY(ui->log.isEmpty());
        QCOMPARE(press(&Quit, COMMANDBUTTON), 0);
        QVERIFY(ui->quitRequested);
    }

    void choosingAFileOpensItAndEnablesStart() {
        QCOMPARE(chooseFile(file), 0);
        QCOMPARE(ui->log,
                 (QStringList{"text 6 ''", "file dialog", "text 6 '" + file + "'", "dim 7 0"}));
        const FileDialogRequest& request = ui->dialogRequests.front();
        QCOMPARE(request.title, QStringLiteral("Choice Update File"));
        QCOMPARE(request.defaultPattern, QStringLiteral("*.j4u"));
        QCOMPARE(request.fileTypes, QStringLiteral("J4 Update files (*.j4u)"));
        QVERIFY(request.startDirectory.isEmpty());
        QVERIFY(context->state.inFile);
        QCOMPARE(context->state.bFile_is_Open, std::uint8_t{1});
    }

    void cancellingKeepsTheFileThatStartWouldSend() {
        QCOMPARE(chooseFile(QString()), 0);
        QVERIFY(ui->text[TEXTBOX_FILE_NAME].isEmpty());
        QVERIFY(ui->dimmed[BUTTON_START_UPDATE]);

        chooseFile(file);
        chooseFile(QString());
        QCOMPARE(ui->text[TEXTBOX_FILE_NAME], file);
        QVERIFY(!ui->dimmed[BUTTON_START_UPDATE]);
        QCOMPARE(context->state.bFile_is_Open, std::uint8_t{1});
        QVERIFY(context->state.inFile);
    }

    void unopenableFileIsReported() {
        const QString missing = dir->filePath("missing.j4u");
        chooseFile(missing);
        QCOMPARE(ui->messages.size(), size_t{1});
        QCOMPARE(ui->messages[0].title, QStringLiteral("Error"));
        QCOMPARE(ui->messages[0].text, QStringLiteral("File open error!"));
        QVERIFY(ui->messages[0].detail.contains(missing));
        QVERIFY(ui->dimmed[BUTTON_START_UPDATE]);

        // An earlier file is closed by the new choice; Start stays enabled and
        // tries the new path again.
        chooseFile(file);
        chooseFile(missing);
        QVERIFY(!ui->dimmed[BUTTON_START_UPDATE]);
        QVERIFY(!context->state.inFile);
        QCOMPARE(startUpdate(), -1);
        QCOMPARE(ui->messages.back().text, QStringLiteral("File open error!"));
        QVERIFY(link->openedPorts.empty());
        QVERIFY(link->writes.empty());
        QVERIFY(!ui->visible[NUMERICSLIDE_PROGRESS]);
        QVERIFY(ui->visible[BUTTON_START_UPDATE]);
    }

    void completedUpdateInOrder() {
        chooseFile(file);
        ui->values[NUMERIC_COMPORT] = 4;
        ui->log.clear();
        acceptAll(3);
        QCOMPARE(startUpdate(), 0);
        QCOMPARE(ui->log,
                 (QStringList{"visible 7 0", "visible 4 1", "value 4 0", "display", "read 2",
                              "open port 4", "flush", "panel dim 1", "process events", "value 4 33",
                              "value 4 66", "value 4 100", "message Info: Update is completed.",
                              "close port", "visible 4 0", "visible 7 1", "panel dim 0"}));
        QCOMPARE(ui->messages[0].slideWhenShown, 100);
        QVERIFY(ui->messages[0].slideVisible);
        QVERIFY(ui->messages[0].panelDimmed);
        QCOMPARE(link->writes.size(), size_t{3});
        QByteArray sent;
        for (const auto& w : link->writes)
            sent.append(reinterpret_cast<const char*>(w.data()), static_cast<qsizetype>(w.size()));
        QCOMPARE(sent, image);
        verifyIdleAfterAttempt();
    }

    void everyFailureHasItsMessageThenTheCleanUp_data() {
        QTest::addColumn<int>("scenario");
        QTest::addColumn<QString>("text");
        QTest::newRow("port cannot be opened") << 0 << "fake: error -3";
        QTest::newRow("no answer") << 1 << "fake: no answer";
        QTest::newRow("unexpected answer") << 2 << "Communication error.";
        QTest::newRow("fourth reject in a row") << 3 << "CRC error. File damaged.";
        QTest::newRow("line hung up") << 4 << "fake: hung up";
    }
    void everyFailureHasItsMessageThenTheCleanUp() {
        QFETCH(int, scenario);
        QFETCH(QString, text);
        chooseFile(file);
        switch (scenario) {
        case 0:
            link->failOpen(-3);
            break;
        case 1:
            link->answer(ACK_BYTE);
            break;
        case 2:
            link->answers({ACK_BYTE, 0x06});
            break;
        case 3:
            link->answers({NAK_BYTE, NAK_BYTE, NAK_BYTE, NAK_BYTE});
            break;
        case 4:
            link->hangUpAtWrite(2);
            link->answer(ACK_BYTE);
            break;
        }
        QCOMPARE(startUpdate(), -1);
        QCOMPARE(ui->messages.size(), size_t{1});
        QCOMPARE(ui->messages[0].title, QStringLiteral("Error"));
        QCOMPARE(ui->messages[0].text, text);
        QVERIFY(!ui->messages[0].detail.isEmpty());
        // The port stays open while the message is up; the clean-up follows.
        const qsizetype messageAt = ui->log.indexOf("message Error: " + text);
        QCOMPARE(ui->log.indexOf("close port"), messageAt + 1);
        verifyIdleAfterAttempt();
        QCOMPARE(link->closes, 1);
    }

    void portMessageNamesTheDeviceAndComesBeforeDecoding() {
        chooseFile(file);
        link->failOpen(-1);
        ui->values[NUMERIC_COMPORT] = 9;
        startUpdate();
        QCOMPARE(ui->messages[0].detail, QStringLiteral("Port 9: /dev/x"));
        QVERIFY(!ui->messages[0].panelDimmed);
        QVERIFY(!ui->log.contains("flush"));
    }

    void refusedFileIsReportedAtTheDecodeStepAndNothingSent_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QByteArray("\r\n") << "Update file is empty.";
        QTest::newRow("damaged") << QByteArray("00 01 AA\r\n#")
                                 << "Update file is damaged: unexpected character at line 2, "
                                    "column 1.";
        QTest::newRow("incomplete")
            << QByteArray("00 05 AA") << "Update file is damaged: incomplete frame at offset 0.";
    }
    void refusedFileIsReportedAtTheDecodeStepAndNothingSent() {
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        QFile bad(dir->filePath("bad.j4u"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(content);
        bad.close();
        chooseFile(bad.fileName());
        QCOMPARE(startUpdate(), -1);
        QCOMPARE(ui->messages.back().title, QStringLiteral("Error"));
        QCOMPARE(ui->messages.back().text, text);
        QVERIFY(!ui->messages.back().panelDimmed);
        QVERIFY(link->writes.empty());
        QVERIFY(ui->log.indexOf("flush") < ui->log.indexOf("message Error: " + text));
        QVERIFY(!ui->visible[NUMERICSLIDE_PROGRESS]);
        QVERIFY(!link->isOpen);
    }

    void startAgainAfterCompletionReadsTheFileAnew() {
        chooseFile(file);
        acceptAll(3);
        QCOMPARE(startUpdate(), 0);
        const QByteArray changed = j4::testing::makeImage(2, 7, 99);
        j4::testing::writeUpdateFile(file, changed);
        link->writes.clear();
        acceptAll(2);
        QCOMPARE(startUpdate(), 0);
        QCOMPARE(link->writes.size(), size_t{2});
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(link->writes[1].data()), 9),
                 changed.mid(9));
        verifyIdleAfterAttempt();
    }

    void startAgainAfterACrcErrorBeginsAtTheFirstFrame() {
        chooseFile(file);
        link->answers({ACK_BYTE, NAK_BYTE, NAK_BYTE, NAK_BYTE, NAK_BYTE});
        QCOMPARE(startUpdate(), -1);
        QCOMPARE(ui->messages.back().text, QStringLiteral("CRC error. File damaged."));
        QVERIFY(ui->messages.back().detail.contains("frame 2"));
        link->writes.clear();
        ui->slideValues.clear();
        acceptAll(3);
        QCOMPARE(startUpdate(), 0);
        QCOMPARE(link->writes.front()[1], std::uint8_t{40}); // the first frame's length
        QCOMPARE(ui->slideValues, (std::vector<int>{0, 0, 33, 66, 100}));
    }
};

QTEST_GUILESS_MAIN(OperatorActionsTest)
#include "operator_actions_test.moc"
