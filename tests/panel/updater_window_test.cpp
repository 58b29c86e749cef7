// The real window on a real X server (Xvfb; offscreen without one), with the
// real port and the simulated device.

#include "j4_version.h"
#include "processes.h"
#include "update_files.h"
#include "updater_window.h"
#include "window_tests.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStackedWidget>
#include <QTranslator>
#include <QUrl>

#include "window_settings.h"
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

#include <cmath>
#include <optional>

#include <csignal>
#include <sys/stat.h>

using namespace j4;
using j4::testing::DevSim;

class UpdaterWindowTest : public QObject, j4::testing::WindowUnderTest<UpdaterWindow> {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> settingsDir;
    QFileDialog* openFileDialog() {
        QTest::mouseClick(find<QPushButton>("chooseFileButton"), Qt::LeftButton);
        QFileDialog* dialog = nullptr;
        if (!QTest::qWaitFor([&] {
                dialog = window->findChild<QFileDialog*>();
                return dialog != nullptr && dialog->isVisible();
            }))
            return nullptr;
        return dialog;
    }
    // As an operator would: type the path into the dialog's name field.
    static void typeInto(QFileDialog* dialog, const QString& path) {
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name != nullptr);
        name->setText(path);
        static_cast<QDialog*>(dialog)->accept();
    }
    // Presses "..." and answers the file dialog with `path`.
    void chooseFile(const QString& path) {
        QFileDialog* dialog = openFileDialog();
        QVERIFY(dialog != nullptr);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Choice Update File"));
        QCOMPARE(dialog->nameFilters(), QStringList{"J4 Update files (*.j4u)"});
        typeInto(dialog, path);
        QTRY_COMPARE(find<QLineEdit>("fileName")->text(), path);
    }
    void start() { QTest::mouseClick(find<QPushButton>("startButton"), Qt::LeftButton); }
    // Waits for the result message and returns its title and text.
    QStringList waitForResult() {
        if (!QTest::qWaitFor([this] { return visibleBox() != nullptr; }, j4::testing::kPatienceMs))
            return {QStringLiteral("no message")};
        return {visibleBox()->windowTitle(), visibleBox()->text()};
    }
    // Clicks OK once the box is on the screen: a click on a box not yet
    // laid out lands outside its button, and is lost on a busy machine.
    void closeResult() {
        QMessageBox* box = visibleBox();
        QVERIFY(box != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(box, j4::testing::kPatienceMs));
        QTRY_VERIFY(box->button(QMessageBox::Ok)->isVisible() &&
                    !box->button(QMessageBox::Ok)->rect().isEmpty());
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        QTRY_VERIFY(!window->updating());
    }
    void verifyIdleAfterAttempt() {
        QVERIFY(!find<QProgressBar>("progressBar")->isVisible());
        QVERIFY(!find<QLabel>("progressValue")->isVisible());
        QVERIFY(find<QPushButton>("startButton")->isVisible());
        QVERIFY(find<QPushButton>("startButton")->isEnabled());
        QVERIFY(find<QWidget>("controls")->isEnabled());
        QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(find<QLineEdit>("fileName")->text(), file);
    }
    void useDevice(const DevSim& device) { qputenv("J4_PORTS", device.device().toLocal8Bit()); }
    // The contrast ratio (WCAG) between the commonest colour in `area` (the
    // background) and the colour that stands out most from it (the text).

    // Where `name` is in the window's own coordinates.
    QRect placeOf(const char* name) {
        auto* widget = find<QWidget>(name);
        return QRect(widget->mapTo(window.get(), QPoint(0, 0)), widget->size());
    }
    // The panel's arrangement, whatever the font or scale: the number under
    // its label with the list beside it and Quit at the right; the file under
    // its label with "..." at its right; Start centred below; nothing cut or
    // overlapping, all inside the window.
    void verifyArrangement() {
        const QRect label = placeOf("portNumberLabel"), number = placeOf("portNumber"),
                    list = placeOf("portList"), quit = placeOf("quitButton"),
                    fileLabel = placeOf("fileNameLabel"), file = placeOf("fileName"),
                    choose = placeOf("chooseFileButton"), start = placeOf("startButton");
        QVERIFY(label.bottom() < number.top() && number.right() < list.left());
        QVERIFY(list.right() < quit.left() && quit.right() <= window->width());
        QVERIFY(number.bottom() < fileLabel.top() && fileLabel.bottom() < file.top());
        QVERIFY(file.right() < choose.left() &&
                std::abs(file.center().y() - choose.center().y()) <= 3);
        QVERIFY(file.bottom() < start.top());
        QVERIFY2(std::abs(start.center().x() - window->width() / 2) <= 2, "Start is centred");
        const QList<const char*> names = {"portNumberLabel",  "portNumber",    "portList",
                                          "quitButton",       "fileNameLabel", "fileName",
                                          "chooseFileButton", "startButton"};
        for (const char* name : names) {
            auto* widget = find<QWidget>(name);
            QVERIFY2(window->rect().contains(placeOf(name)), name);
            QVERIFY2(widget->width() >= widget->minimumSizeHint().width() &&
                         widget->height() >= widget->minimumSizeHint().height(),
                     name);
            for (const char* other : names)
                QVERIFY2(name == other || !placeOf(name).intersects(placeOf(other)),
                         qPrintable(QStringLiteral("%1 and %2").arg(name, other)));
        }
    }

private slots:
    void initTestCase() {
        // Remembered settings of the tests' own, never the user's.
        settingsDir = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsDir->path()));
        j4::settleSettings();
        QCoreApplication::setOrganizationName(QStringLiteral("Ferrowan GmbH"));
        QCoreApplication::setApplicationName(QStringLiteral("j4_updater_test"));
    }
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        image = j4::testing::makeImage(40, 100);
        file = j4::testing::writeUpdateFile(dir->filePath("update.j4u"), image);
        window = std::make_unique<UpdaterWindow>(std::chrono::milliseconds{600});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup() {
        window.reset();
        qunsetenv("J4_PORTS");
    }

    void windowAsDefined() {
        QCOMPARE(window->windowTitle(), QStringLiteral("J4 Updater v1.0, Ferrowan GmbH, 2008"));
        verifyArrangement();
        QCOMPARE(window->palette().color(QPalette::Window), QColor(0xEC, 0xE9, 0xD8));

        auto* port = find<QSpinBox>("portNumber");
        QCOMPARE(port->minimum(), 1);
        QCOMPARE(port->maximum(), 255);
        QCOMPARE(port->value(), 1);
        QCOMPARE(find<QLabel>("portNumberLabel")->text(), QStringLiteral("J4 ComPort"));

        auto* choose = find<QPushButton>("chooseFileButton");
        QCOMPARE(choose->text(), QStringLiteral("..."));

        auto* slide = find<QProgressBar>("progressBar");
        QCOMPARE(slide->maximum(), 100);
        QVERIFY(!slide->isVisible());
        QVERIFY(!find<QLabel>("progressLabel")->isVisible());
        QCOMPARE(find<QLabel>("progressLabel")->text(), QStringLiteral("Update Progress"));
        QCOMPARE(slide->palette().color(QPalette::Highlight), QColor(0x33, 0x99, 0xFF));

        auto* quit = find<QPushButton>("quitButton");
        QCOMPARE(QKeySequence::mnemonic(quit->text()), QKeySequence(Qt::ALT | Qt::Key_Q));

        auto* name = find<QLineEdit>("fileName");
        QVERIFY(name->isReadOnly());
        QCOMPARE(find<QLabel>("fileNameLabel")->text(), QStringLiteral("Update File"));

        auto* startButton = find<QPushButton>("startButton");
        QCOMPARE(QKeySequence::mnemonic(startButton->text()), QKeySequence(Qt::ALT | Qt::Key_S));
        QVERIFY(!startButton->isEnabled());
    }

    void portToolTipNamesTheDevice() {
        // The list is read, off the UI thread, when the window starts and when
        // devices come and go.
        qputenv("J4_PORTS", "/dev/j4-first:/dev/j4-second");
        window = std::make_unique<UpdaterWindow>(std::chrono::milliseconds{600});
        window->show();
        QTRY_VERIFY_WITH_TIMEOUT(window->hasSettled(), j4::testing::kPatienceMs);
        auto* port = find<QSpinBox>("portNumber");
        port->setValue(2);
        QHelpEvent asked(QEvent::ToolTip, QPoint(5, 5), port->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(port, &asked);
        QTRY_COMPARE(QToolTip::text(), QStringLiteral("Port 2: /dev/j4-second"));
        port->setValue(3);
        QApplication::sendEvent(port, &asked);
        QTRY_COMPARE(QToolTip::text(), QStringLiteral("No serial port has the number 3."));
    }

    void wholeUpdateFromTheFileButton() {
        DevSim device({"--delay-us", "4000"});
        useDevice(device);
        chooseFile(file);
        auto* slide = find<QProgressBar>("progressBar");
        QSignalSpy moves(slide, &QProgressBar::valueChanged);
        start();
        // The window keeps working while the transfer runs, the progress at
        // full contrast over the dimmed controls, a busy cursor over it all.
        QTRY_VERIFY(slide->isVisible());
        QVERIFY(!find<QPushButton>("startButton")->isVisible());
        QTRY_VERIFY(!find<QWidget>("controls")->isEnabled());
        QVERIFY(slide->isEnabled() && find<QLabel>("progressValue")->isEnabled());
        QCOMPARE(window->cursor().shape(), Qt::BusyCursor);
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        QCOMPARE(slide->value(), 100);
        QVERIFY(slide->isVisible());
        QCOMPARE(find<QLabel>("progressValue")->text(), QStringLiteral("100"));
        QSet<int> seen;
        for (const auto& move : moves)
            seen.insert(move.first().toInt());
        QVERIFY2(seen.size() >= 10, "the slide moved in steps while the frames went out");
        closeResult();
        verifyIdleAfterAttempt();
        QCOMPARE(device.capture(), image);
        // The result stays in the window, green, readable, until the next Start.
        auto* result = find<QLabel>("resultLine");
        QVERIFY(result->isVisible());
        QVERIFY2(QRegularExpression(
                     "^Completed \\d\\d:\\d\\d:\\d\\d \u2014 update\\.j4u, port 1 \\(device\\)$")
                     .match(result->text())
                     .hasMatch(),
                 qPrintable(result->text()));
        QTest::qWait(100); // painted
        const QImage shot = window->grab().toImage();
        QVERIFY(j4::testing::textContrast(shot, placeOf("resultLine")) >= 4.5);
        QCOMPARE(result->palette().color(QPalette::Window).hsvHue() / 20, 120 / 20);
        start();
        QTRY_VERIFY(!result->isVisible());
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        closeResult();
    }

    void theWindowLogsAttemptsWhenAsked() {
        DevSim device;
        useDevice(device);
        const QString log = dir->filePath("window.jsonl");
        // With a records database that cannot be reached: the update is as
        // without it, and the window says how many records wait.
        j4::WorkSettings settings;
        settings.logPath = log.toStdString();
        settings.recordsUrl =
            "postgresql://nobody@127.0.0.1:" + std::to_string(j4::testing::freeLocalPort()) +
            "/plant";
        window->setWorkSettings(settings);
        chooseFile(file);
        start();
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        closeResult();
        const auto* waiting = find<QLabel>("recordsLine");
        QTRY_COMPARE_WITH_TIMEOUT(waiting->text(),
                                  QStringLiteral("1 record waits for the database"), 30000);
        // The count comes before the sender's sentence, which follows its
        // first failed try.
        QTRY_VERIFY2(waiting->toolTip().contains("cannot reach the database"),
                     qPrintable(waiting->toolTip()));
        QVERIFY(waiting->isVisible());
        QFile written(log);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = written.readAll().split('\n');
        QCOMPARE(lines.size(), 2);
        const QJsonObject entry = QJsonDocument::fromJson(lines[0]).object();
        QCOMPARE(entry["outcome"].toString(), QStringLiteral("completed"));
        QCOMPARE(entry["port_number"].toInt(), 1);
        QCOMPARE(entry["device"].toString(), device.device());
        QCOMPARE(entry["bytes_accepted"].toInt(), image.size());
    }

    // The window following its line, against a real PostgreSQL: the line's
    // release, work order and units done in the file's place; each Start
    // claims one unit, a failure holds the line with Resume beside it, and
    // a complete work order sends nothing more.
    void aLineWindowSendsWhatThePlantAssignsOneUnitAStart() {
        j4::testing::TestDatabase database;
        const QString trusted =
            j4::testing::assignLine(J4_PLANT, database, dir->path(), file,
                                    {"L7", "--release", "5.0.0", "--work-order", "WO-B", "--lot",
                                     "LOT-3", "--quantity", "2", "--stop-after", "1/1"});
        QVERIFY(!trusted.isEmpty());
        j4::WorkSettings settings;
        settings.logPath = dir->filePath("line.jsonl").toStdString();
        settings.recordsUrl = database.url().toStdString();
        window->setWorkSettings(settings);
        j4::release::ReleaseOptions trusting;
        trusting.trustKeyFiles.push_back(trusted.toStdString());
        window->followLine({"L7", database.url().toStdString(), "bench-2", trusting,
                            dir->filePath("state").toStdString()});
        QCOMPARE(find<QLabel>("fileNameLabel")->text(), QStringLiteral("Line"));
        QCOMPARE(find<QLineEdit>("fileName")->text(), QStringLiteral("L7"));
        QVERIFY(!find<QPushButton>("chooseFileButton")->isEnabled());
        auto* line = find<QLabel>("releaseLine");
        const auto units = [](int done) {
            return QStringLiteral("Line L7: release 5.0.0, work order WO-B, %1 of 2 units.")
                .arg(done);
        };
        QTRY_COMPARE_WITH_TIMEOUT(line->toolTip(), units(0), j4::testing::kPatienceMs);
        QVERIFY(find<QPushButton>("startButton")->isEnabled());

        DevSim first;
        useDevice(first);
        start();
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        closeResult();
        QCOMPARE(first.capture(), image);
        QTRY_COMPARE_WITH_TIMEOUT(line->toolTip(), units(1), j4::testing::kPatienceMs);
        QVERIFY2(find<QLabel>("resultLine")->text().contains("\u2014 line L7, port 1"),
                 qPrintable(find<QLabel>("resultLine")->text()));
        QFile log(dir->filePath("line.jsonl"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QJsonObject entry = QJsonDocument::fromJson(log.readLine()).object();
        QCOMPARE(entry["work_order"].toString(), QStringLiteral("WO-B"));
        QCOMPARE(entry["lot"].toString(), QStringLiteral("LOT-3"));
        QCOMPARE(entry["line"].toString(), QStringLiteral("L7"));
        // What its port did last, for the plant's live view.
        QTRY_COMPARE_WITH_TIMEOUT(database.query("SELECT slot || ' ' || state FROM j4_slot_states"),
                                  QStringLiteral("1 completed"), j4::testing::kPatienceMs);

        // A failure trips the rule: the line is held, Start is refused with
        // why, and Resume (asked first) lifts it.
        {
            DevSim failing({"--reject", "1,2,3,4"});
            useDevice(failing);
            start();
            QCOMPARE(waitForResult().first(), QStringLiteral("Error"));
            closeResult();
        }
        auto* held = find<QLabel>("lineNote");
        auto* resume = find<QPushButton>("resumeButton");
        QTRY_VERIFY_WITH_TIMEOUT(resume->isVisible(), j4::testing::kPatienceMs);
        QCOMPARE(held->text(), QStringLiteral("Held: 1 failures in the last 1 attempts."));
        DevSim second;
        useDevice(second);
        start();
        const QStringList refused = waitForResult();
        QVERIFY2(refused.first() == "Error" && refused.last().contains("held"),
                 qPrintable(refused.join(": ")));
        closeResult();
        QVERIFY(second.capture().isEmpty());
        QTest::mouseClick(resume, Qt::LeftButton);
        QMessageBox* question = nullptr;
        QTRY_VERIFY((question = window->findChild<QMessageBox*>("resumeQuestion")) != nullptr);
        QCOMPARE(question->text(), QStringLiteral("Resume line L7?"));
        QTest::mouseClick(question->button(QMessageBox::Yes), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!resume->isVisible(), j4::testing::kPatienceMs);
        QCOMPARE(database.query("SELECT count(*) FROM j4_holds WHERE line = 'L7'"),
                 QStringLiteral("0"));

        // The second unit completes the work order; a third is not sent.
        start();
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        closeResult();
        QCOMPARE(second.capture(), image);
        QTRY_COMPARE_WITH_TIMEOUT(line->toolTip(), units(2), j4::testing::kPatienceMs);
        DevSim third;
        useDevice(third);
        start();
        QCOMPARE(waitForResult(),
                 (QStringList{"Error", "Work order WO-B is complete: 2 of 2 units"}));
        closeResult();
        QVERIFY(third.capture().isEmpty());
        // The records the window sends say what each unit was made for.
        QTRY_COMPARE_WITH_TIMEOUT(
            database.query("SELECT count(*) FROM j4_attempts WHERE work_order = 'WO-B' AND "
                           "lot = 'LOT-3' AND outcome = 'completed'"),
            QStringLiteral("2"), j4::testing::kPatienceMs);
    }

    void aWindowGoneMidUpdateHearsNothingMoreAndItsPortIsFreed() {
        // The worker owns what it works on: the window's end stops it, and
        // what it would still report is dropped, not delivered to a corpse.
        DevSim device({"--delay-us", "20000"});
        useDevice(device);
        chooseFile(file);
        start();
        QTRY_VERIFY(find<QProgressBar>("progressBar")->value() > 0);
        window.reset();
        j4::UpdaterWindow next(std::chrono::milliseconds{600});
        QTest::qWait(300); // posted progress and the report arrive, and are dropped
        QTRY_VERIFY_WITH_TIMEOUT(
            j4::testing::runProgram(j4::testing::flashPath(), {"-q", "--port", "1", file})
                    .exitCode == 0,
            5000);
        window = std::make_unique<UpdaterWindow>(std::chrono::milliseconds{600});
    }

    void theFileIsReadAfreshAtStart() {
        DevSim device;
        useDevice(device);
        chooseFile(file);
        const QByteArray replaced = j4::testing::makeImage(3, 7, 42);
        j4::testing::writeUpdateFile(file, replaced);
        start();
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        closeResult();
        QCOMPARE(device.capture(), replaced);
    }

    void crcErrorAndSilentDeviceEndInTheIdleLayout() {
        {
            DevSim device({"--reject", "3,4,5,6"});
            useDevice(device);
            chooseFile(file);
            // Alt+S presses Start Update.
            // On an X server with no window manager the focus is asked of
            // the server, which takes its time on a busy machine.
            window->activateWindow();
            QApplication::setActiveWindow(window.get());
            QVERIFY(QTest::qWaitForWindowActive(window.get(), j4::testing::kPatienceMs));
            QTest::keyClick(window.get(), Qt::Key_S, Qt::AltModifier);
            QCOMPARE(waitForResult(), (QStringList{"Error", "CRC error. File damaged."}));
            QVERIFY(visibleBox()->informativeText().contains("frame 3"));
            closeResult();
            verifyIdleAfterAttempt();
        }
        DevSim silent({"--silent-from", "2"});
        useDevice(silent);
        start();
        QCOMPARE(waitForResult(),
                 (QStringList{"Error", "No answer from the device within 600 ms."}));
        closeResult();
        verifyIdleAfterAttempt();
    }

    void answersOutOfStepAreACommunicationError() {
        DevSim device({"--stray", "0x11@2", "--stray-delay-us", "0"});
        useDevice(device);
        chooseFile(file);
        start();
        QCOMPARE(waitForResult(), (QStringList{"Error", "Communication error."}));
        QVERIFY(visibleBox()->informativeText().startsWith(
            "The device sent 1 byte that answers no frame, before frame 3"));
        closeResult();
    }

    void missingPortEndsInTheIdleLayout() {
        qputenv("J4_PORTS", dir->filePath("no-device").toLocal8Bit());
        chooseFile(file);
        start();
        QCOMPARE(waitForResult(), (QStringList{"Error", "The serial port does not exist."}));
        QVERIFY(visibleBox()->informativeText().startsWith("Port 1: "));
        QVERIFY2(find<QWidget>("controls")->isEnabled(), "failed before dimming");
        closeResult();
        verifyIdleAfterAttempt();
    }

    void filesThatCannotBeSentAreRefusedWhenChosen() {
        // A FIFO would block whoever opens it; it is refused at once.
        const QString fifo = dir->filePath("pipe.j4u");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        chooseFile(fifo);
        QCOMPARE(waitForResult(), (QStringList{"Error", "File open error!"}));
        QCOMPARE(visibleBox()->informativeText(), fifo + ": not a regular file");
        visibleBox()->accept();
        QVERIFY(!find<QPushButton>("startButton")->isEnabled());

        // A name with another extension is not taken by the dialog.
        const QString other = dir->filePath("notes.txt");
        QFile(other).open(QIODevice::WriteOnly);
        QFileDialog* dialog = openFileDialog();
        QVERIFY(dialog != nullptr);
        typeInto(dialog, other);
        QVERIFY(dialog->isVisible());
        dialog->reject();
        QTRY_VERIFY(window->findChild<QFileDialog*>() == nullptr);
        QCOMPARE(window->chosenFile(), fifo);
    }

    void onlySignedFilesReachTheDeviceWhenAKeyIsTrusted() {
        const j4::testing::Minisign release(dir->path(), QStringLiteral("release"));
        release.sign(file, QStringLiteral("version=1.4.2"));
        const j4::testing::ScopedVariable trusted("J4_TRUST_KEYS",
                                                  QFile::encodeName(release.publicKey()));
        DevSim device;
        useDevice(device);
        chooseFile(file);
        auto* line = find<QLabel>("releaseLine");
        QCOMPARE(line->text(),
                 QStringLiteral("Signed by key %1 \u2014 version 1.4.2").arg(release.keyId()));
        QVERIFY(find<QPushButton>("startButton")->isEnabled());

        // Replaced after it was chosen: Start checks the very bytes it sends.
        QFile original(file);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QByteArray text = original.readAll();
        original.close();
        text[text.indexOf('A')] = 'B';
        QFile replaced(file);
        QVERIFY(replaced.open(QIODevice::WriteOnly | QIODevice::Truncate));
        replaced.write(text);
        replaced.close();
        start();
        QCOMPARE(waitForResult(),
                 (QStringList{"Error", "Update file was changed after it was signed."}));
        closeResult();
        QVERIFY(device.stop().startsWith("transmissions=0"));

        // Chosen as it is now: refused under its name, Start dimmed.
        chooseFile(file);
        QTRY_COMPARE(line->toolTip().section(QLatin1Char('\n'), 0, 0),
                     QStringLiteral("Update file was changed after it was signed."));
        QVERIFY(!find<QPushButton>("startButton")->isEnabled());
    }

    void waitingForTheDeviceIsShownAfterASecond() {
        DevSim device({"--delay-us", "2300000"});
        useDevice(device);
        window = std::make_unique<UpdaterWindow>(std::chrono::milliseconds{5000});
        window->show();
        j4::testing::writeUpdateFile(file, j4::testing::makeImage(1, 4));
        chooseFile(file);
        start();
        auto* label = find<QLabel>("progressLabel");
        QTRY_COMPARE_WITH_TIMEOUT(
            label->text(), QString::fromUtf8("Update Progress \u2014 waiting for the device (1 s)"),
            3000);
        QTRY_COMPARE_WITH_TIMEOUT(
            label->text(), QString::fromUtf8("Update Progress \u2014 waiting for the device (2 s)"),
            3000);
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        QCOMPARE(label->text(), QStringLiteral("Update Progress"));
        closeResult();
    }

    void closingOrEscapeDuringATransferAsksToStopIt() {
        DevSim device({"--delay-us", "100000"}); // 40 frames take 4 s
        useDevice(device);
        chooseFile(file);
        QSignalSpy exits(window.get(), &UpdaterWindow::exitRequested);
        start();
        QTRY_VERIFY(!find<QWidget>("controls")->isEnabled());
        const auto answer = [this](QMessageBox::StandardButton button) {
            QMessageBox* question = nullptr;
            QTRY_VERIFY((question = window->findChild<QMessageBox*>("stopQuestion")) != nullptr);
            QCOMPARE(question->text(), QStringLiteral("Stop the update?"));
            QTest::mouseClick(question->button(button), Qt::LeftButton);
        };
        // Closing asks; no goes on. Quit stays dimmed.
        QVERIFY(!window->close());
        answer(QMessageBox::No);
        QVERIFY(window->updating() && window->isVisible());
        QTest::mouseClick(find<QPushButton>("quitButton"), Qt::LeftButton);
        QVERIFY(exits.isEmpty());
        // Escape asks too; no goes on.
        QTest::keyClick(window.get(), Qt::Key_Escape);
        answer(QMessageBox::No);
        QVERIFY(window->updating());
        // Stop, shown beside the progress, asks as well; yes stops at the
        // next frame, with one message.
        auto* stop = find<QPushButton>("stopButton");
        QVERIFY(stop->isVisible() && stop->isEnabled());
        QCOMPARE(QKeySequence::mnemonic(stop->text()), QKeySequence(Qt::ALT | Qt::Key_T));
        QTest::mouseClick(stop, Qt::LeftButton);
        answer(QMessageBox::Yes);
        QCOMPARE(waitForResult(), (QStringList{"Error", "The update was interrupted."}));
        QVERIFY(visibleBox()->informativeText().contains("bytes were accepted"));
        // Escape closes the result message; the window keeps the result.
        QTest::keyClick(visibleBox(), Qt::Key_Escape);
        QTRY_VERIFY(!window->updating());
        QVERIFY(exits.isEmpty());
        auto* result = find<QLabel>("resultLine");
        QVERIFY(result->isVisible());
        QVERIFY2(
            QRegularExpression("^Failed \\d\\d:\\d\\d:\\d\\d \u2014 The update was interrupted\\.$")
                .match(result->text())
                .hasMatch(),
            qPrintable(result->text()));

        // The system asks the program to end: the transfer stops at the next
        // frame, the port is closed, and only then does the program exit.
        start();
        QTRY_VERIFY(!find<QWidget>("controls")->isEnabled());
        window->shutDown(130);
        QTRY_COMPARE_WITH_TIMEOUT(exits.size(), 1, j4::testing::kPatienceMs);
        QCOMPARE(exits.first().first().toInt(), 130);
        QVERIFY(visibleBox() == nullptr);
        const QString summary = device.stop();
        QVERIFY2(!summary.startsWith("transmissions=80"), qPrintable(summary));
        DevSim again;
        useDevice(again);
    }

    void theDeviceIsNamedBesideItsNumberAsItComesAndGoes() {
        // The user's ports file pins 3 to a socket where devices come and go.
        const QString config = dir->filePath("config");
        QDir().mkpath(config + "/j4-updater");
        const QString socket = dir->filePath("socket3");
        QFile ports(config + "/j4-updater/ports");
        QVERIFY(ports.open(QIODevice::WriteOnly));
        ports.write("3 " + socket.toUtf8() + "\n");
        ports.close();
        const QByteArray configBefore = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.toUtf8());
        UpdaterWindow pinned;
        pinned.show();
        auto* label = pinned.findChild<QLabel*>("deviceName");
        pinned.findChild<QSpinBox*>("portNumber")->setValue(3);
        QTRY_COMPARE(label->toolTip(), QStringLiteral("socket3 (not plugged in)"));
        auto* list = pinned.findChild<QComboBox*>("portList");
        const auto entry = [&] { return list->itemText(list->findData(3)); };
        {
            DevSim device;
            QVERIFY(QFile::link(device.device(), socket));
            QTRY_COMPARE(label->toolTip(), QStringLiteral("socket3"));
            QVERIFY(label->isVisible());
            QTRY_COMPARE(entry(), QStringLiteral("3 \u2014 socket3 (pinned)"));
            QFile::remove(socket);
            QTRY_COMPARE(label->toolTip(), QStringLiteral("socket3 (not plugged in)"));
            QTRY_COMPARE(entry(), QStringLiteral("3 \u2014 socket3, not plugged in (pinned)"));
        }
        // The list by name: the pinned socket marked, chosen by its name.
        const int pinnedEntry = list->findData(3);
        QVERIFY(pinnedEntry >= 0);
        QVERIFY2(list->itemText(pinnedEntry).startsWith(QStringLiteral("3 \u2014 socket3")) &&
                     list->itemText(pinnedEntry).endsWith("(pinned)"),
                 qPrintable(list->itemText(pinnedEntry)));
        pinned.findChild<QSpinBox*>("portNumber")->setValue(200);
        QCOMPARE(label->toolTip(), QStringLiteral("no port with this number"));
        list->setCurrentIndex(pinnedEntry);
        emit list->activated(pinnedEntry);
        QCOMPARE(pinned.findChild<QSpinBox*>("portNumber")->value(), 3);
        // Alt+Down on the number opens it.
        pinned.findChild<QSpinBox*>("portNumber")->setFocus();
        QTest::keyClick(pinned.findChild<QSpinBox*>("portNumber"), Qt::Key_Down, Qt::AltModifier);
        QTRY_VERIFY(list->view()->isVisible());
        list->hidePopup();
        qputenv("XDG_CONFIG_HOME", configBefore);
    }

    void aLargerFontGrowsTheWindowAndCutsNothing() {
        // Qt's layouts: at 13 points the window grows around its controls,
        // in the same arrangement, and Start and the progress share a band.
        QCOMPARE(window->font().pointSizeF(), 9.0);
        const QSize before = window->size();
        const QRect band = placeOf("band");
        QFont larger = window->font();
        larger.setPointSizeF(13);
        window->setFont(larger);
        QTRY_VERIFY2(window->width() > before.width() && window->height() > before.height(),
                     qPrintable(QStringLiteral("%1x%2 -> %3x%4")
                                    .arg(before.width())
                                    .arg(before.height())
                                    .arg(window->width())
                                    .arg(window->height())));
        verifyArrangement();
        QVERIFY(placeOf("band").height() > band.height());
        auto* bandWidget = find<QStackedWidget>("band");
        bandWidget->setCurrentWidget(find<QWidget>("progressPage"));
        QVERIFY(placeOf("progressBar").top() >= placeOf("band").top());
        QVERIFY(placeOf("stopButton").right() <= window->width());
        QVERIFY(!placeOf("progressBar").intersects(placeOf("stopButton")));
        bandWidget->setCurrentWidget(find<QWidget>("startPage"));
    }

    void aDarkDesktopKeepsEveryTextReadable() {
        auto look = std::make_optional<j4::testing::DesktopLook>(true);
        UpdaterWindow darkWindow;
        darkWindow.show();
        QVERIFY(QTest::qWaitForWindowExposed(&darkWindow));
        // The digits as they stand once the field is left: no cursor, no selection.
        darkWindow.findChild<QPushButton*>("quitButton")->setFocus();
        QTest::qWait(50);
        const QImage shot = darkWindow.grab().toImage();
        look.reset();
        for (const char* name : {"portNumberLabel", "portNumber", "portList", "fileNameLabel",
                                 "quitButton", "chooseFileButton"}) {
            const auto* widget = darkWindow.findChild<QWidget*>(name);
            // A spin box's digits are in its field, not on its frame.
            if (const auto* field = widget->findChild<QLineEdit*>())
                widget = field;
            const double contrast = j4::testing::textContrast(
                shot, QRect(widget->mapTo(&darkWindow, QPoint(0, 0)), widget->size()));
            QVERIFY2(contrast >= 4.5,
                     qPrintable(QStringLiteral("%1: %2:1").arg(name).arg(contrast)));
        }
    }

    void portFolderAndKeysAreAtHome() {
        // The port and the file's folder are remembered for the next start.
        DevSim device;
        useDevice(device);
        find<QSpinBox>("portNumber")->setValue(1);
        chooseFile(file);
        start();
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        closeResult();
        find<QSpinBox>("portNumber")->setValue(7);
        QTest::mouseClick(find<QPushButton>("startButton"), Qt::LeftButton);
        waitForResult();
        closeResult();
        UpdaterWindow next;
        QTRY_COMPARE(next.findChild<QSpinBox*>("portNumber")->value(), 7);
        QFileDialog* dialog = openFileDialog();
        QVERIFY(dialog != nullptr);
        QCOMPARE(dialog->directory().absolutePath(), QFileInfo(file).absolutePath());
        dialog->reject();
        // Every control has a name for screen readers; Enter presses the
        // focused button; the window has its icon.
        for (QWidget* control : find<QWidget>("controls")->findChildren<QWidget*>())
            if (!control->objectName().isEmpty() && !control->objectName().startsWith("qt_"))
                QVERIFY2(!control->accessibleName().isEmpty() ||
                             qobject_cast<QLabel*>(control) != nullptr,
                         qPrintable(control->objectName()));
        find<QPushButton>("chooseFileButton")->setFocus();
        QTest::keyClick(find<QPushButton>("chooseFileButton"), Qt::Key_Return);
        QTRY_VERIFY(window->findChild<QFileDialog*>() != nullptr);
        window->findChild<QFileDialog*>()->reject();
        QTRY_VERIFY(!window->windowIcon().isNull());
    }

    void displayLostOrStopAskedMidTransferFreesThePort() {
        for (const char* how : {"signal", "display"}) {
            DevSim device({"--delay-us", "100000"}); // 40 frames take 4 s
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("J4_PORTS", device.device());
            environment.insert("QT_QPA_PLATFORM", "offscreen");
            QProcess xvfb;
            if (qstrcmp(how, "display") == 0) {
                xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp"});
                QVERIFY(xvfb.waitForReadyRead(j4::testing::kPatienceMs));
                const QByteArray display = xvfb.readLine().trimmed();
                environment.insert("QT_QPA_PLATFORM", "xcb");
                environment.insert("DISPLAY", ":" + QString::fromLatin1(display));
            }
            QProcess driver;
            driver.setProcessEnvironment(environment);
            driver.start(QStringLiteral(J4_WINDOW_DRIVER_PATH), {file});
            QVERIFY(driver.waitForReadyRead(j4::testing::kPatienceMs));
            QCOMPARE(driver.readLine().trimmed(), QByteArray("transferring"));
            QElapsedTimer clock;
            clock.start();
            if (qstrcmp(how, "display") == 0)
                xvfb.kill();
            else
                ::kill(static_cast<pid_t>(driver.processId()), SIGTERM);
            QVERIFY2(driver.waitForFinished(j4::testing::kPatienceMs), how);
            QVERIFY2(clock.elapsed() < 4000, how);
            if (qstrcmp(how, "signal") == 0)
                QCOMPARE(driver.exitCode(), 130);
            xvfb.waitForFinished(j4::testing::kPatienceMs);
            const QString summary = device.stop();
            QVERIFY2(!summary.startsWith("transmissions=40"), qPrintable(summary));
            // The serial library's lock file for this device is gone.
            const QString folder = QFileInfo(device.device()).dir().dirName();
            for (const QString& lock : QDir(QStringLiteral("/run/lock")).entryList(QDir::Files))
                QVERIFY2(!lock.contains(folder), qPrintable(lock));
        }
    }

    void openedFromTheDesktopDroppedOrRemembered() {
        // A .j4u dropped on the window is chosen as from the dialog.
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(file)});
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(window.get(), &drop);
        QCOMPARE(find<QLineEdit>("fileName")->text(), file);
        QVERIFY(find<QPushButton>("startButton")->isEnabled());
        // The next window offers it, and says when it changed since; offering
        // it writes nothing.
        const QString settingsFile = QFileInfo(j4::windowSettings().fileName()).absoluteFilePath();
        const auto offered = [&] {
            window = std::make_unique<UpdaterWindow>();
            window->offerLastFile();
            window->show();
        };
        const QDateTime written = QFileInfo(settingsFile).lastModified();
        offered();
        QCOMPARE(find<QLineEdit>("fileName")->text(), file);
        QVERIFY(find<QPushButton>("startButton")->isEnabled());
        QVERIFY(find<QLabel>("releaseLine")->text().isEmpty());
        QCOMPARE(QFileInfo(settingsFile).lastModified(), written);
        QFile changed(file);
        QVERIFY(changed.open(QIODevice::Append));
        changed.write("\n");
        changed.close();
        offered();
        QVERIFY(find<QLabel>("releaseLine")->text().startsWith("Changed since it was chosen"));
        QFile::remove(file);
        offered();
        QVERIFY(find<QLineEdit>("fileName")->text().isEmpty());

        // The settings of an earlier version move to the one place, once.
        QTemporaryDir home;
        j4::testing::ScopedVariable config("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
        QDir().mkpath(home.filePath("Ferrowan GmbH"));
        QFile old(home.filePath("Ferrowan GmbH/j4_updater.conf"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("[General]\nportNumber=7\n");
        old.close();
        j4::settleSettings();
        QVERIFY(!old.exists() && !QDir(home.filePath("Ferrowan GmbH")).exists());
        QCOMPARE(j4::windowSettings().value("portNumber").toInt(), 7);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(settingsDir->path()));
        j4::settleSettings();

        // Qt's own texts follow the language: German Yes is Ja.
        QTranslator german;
        QVERIFY(german.load(QLocale(QLocale::German), "qtbase", "_",
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath)));
        QCOMPARE(german.translate("QPlatformTheme", "&Yes"), QStringLiteral("&Ja"));

        // The desktop's entry and the file type it opens.
        QCOMPARE(QProcess::execute("desktop-file-validate",
                                   {J4_SOURCE_DIR "/packaging/org.example.j4updater.desktop"}),
                 0);
        QTemporaryDir mime;
        QDir().mkpath(mime.filePath("packages"));
        QVERIFY(QFile::copy(J4_SOURCE_DIR "/packaging/j4-updater-mime.xml",
                            mime.filePath("packages/j4-updater.xml")));
        QCOMPARE(QProcess::execute("update-mime-database", {mime.path()}), 0);
        QFile globs(mime.filePath("globs2"));
        QVERIFY(globs.open(QIODevice::ReadOnly));
        QVERIFY(globs.readAll().contains("application/x-j4-update:*.j4u"));
    }

    void exitStatusOfTheProgram() {
        const QString program = QStringLiteral(J4_UPDATER_PATH);
        QProcess updater;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        updater.setProcessEnvironment(environment);
        updater.start(program);
        QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
        QCOMPARE(updater.exitCode(), 255); // -1: no window system, and why
        QVERIFY(updater.readAllStandardError().contains("no display"));

        // A display that cannot be reached ends the same way, not in Qt's abort.
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("DISPLAY", ":97");
        updater.setProcessEnvironment(environment);
        updater.start(program);
        QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 255);
        QVERIFY(updater.readAllStandardError().contains("the display :97 cannot be reached"));
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");

        // A file alone opens the window with it (as the desktop does).
        {
            QProcessEnvironment shown = QProcessEnvironment::systemEnvironment();
            shown.insert("J4_STARTUP_PROBE", "1");
            QProcess opened;
            opened.setProcessEnvironment(shown);
            opened.start(program, {file});
            QVERIFY(opened.waitForFinished(j4::testing::kPatienceMs));
            QCOMPARE(opened.exitCode(), 0);
            QVERIFY(opened.readAllStandardOutput().startsWith("ready"));
        }

        // Usage errors are read before any display is asked for.
        updater.setProcessEnvironment(environment);
        for (const QStringList& arguments :
             {QStringList{"--bogus"},
              QStringList{"-style", "Fusion", "--station", "--expect-sha256=abc"}}) {
            updater.start(program, arguments);
            QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
            QCOMPARE(updater.exitCode(), 2);
        }

        // -V answers without opening a window; alone, or it is a usage error.
        updater.start(program, {"-V"});
        QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(updater.readAllStandardOutput().trimmed(), QByteArray("j4_updater ") + kVersion);
        updater.start(program, {"--verbose", "--version"});
        QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
        QCOMPARE(updater.exitCode(), 2);

        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("J4_STARTUP_PROBE", "1");
        updater.setProcessEnvironment(environment);
        updater.start(program);
        QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY(updater.readAllStandardOutput().startsWith("ready"));

        // Asked to end by the system while idle: it ends at once with 130.
        environment.remove("J4_STARTUP_PROBE");
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1}) {
            updater.setProcessEnvironment(environment);
            updater.start(program);
            QVERIFY(updater.waitForStarted());
            QTest::qWait(500);
            ::kill(static_cast<pid_t>(updater.processId()), signal);
            QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
            QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
            QCOMPARE(updater.exitCode(), 130);
        }
    }
};

QTEST_MAIN(UpdaterWindowTest)
#include "updater_window_test.moc"
