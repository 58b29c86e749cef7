// The real window under Qt's offscreen platform, with the real port and the
// simulated device.

#include "main_panel.h"
#include "processes.h"
#include "qt_serial_link.h"
#include "update_files.h"

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

using namespace j4;
using j4::testing::DevSim;

namespace {

UpdaterState state;

} // namespace

class MainPanelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QtSerialLink> link;
    std::unique_ptr<MainPanel> panel;
    QByteArray image;
    QString file;

    template <class T> T* find(const char* name) {
        T* widget = panel->findChild<T*>(QString::fromLatin1(name));
        if (widget == nullptr)
            qFatal("no %s", name);
        return widget;
    }
    QMessageBox* visibleMessage() {
        for (auto* box : panel->findChildren<QMessageBox*>())
            if (box->isVisible())
                return box;
        return nullptr;
    }
    // Presses "..." and answers the file dialog with `path`.
    void chooseFile(const QString& path) {
        QTest::mouseClick(find<QPushButton>("BUTTON_FILE_CHOICE"), Qt::LeftButton);
        QFileDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = panel->findChild<QFileDialog*>()) != nullptr && dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Choice Update File"));
        QCOMPARE(dialog->nameFilters(), QStringList{"J4 Update files (*.j4u)"});
        // As an operator would: type the path into the dialog's name field.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name != nullptr);
        name->setText(path);
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog hides it
        QTRY_COMPARE(find<QLineEdit>("TEXTBOX_FILE_NAME")->text(), path);
        QTRY_VERIFY(!panel->busy());
    }
    // Waits for the result message and returns its title and text.
    QStringList waitForResult() {
        if (!QTest::qWaitFor([this] { return visibleMessage() != nullptr; }, 20000))
            return {QStringLiteral("no message")};
        return {visibleMessage()->windowTitle(), visibleMessage()->text()};
    }
    void closeResult() {
        QTest::mouseClick(visibleMessage()->button(QMessageBox::Ok), Qt::LeftButton);
        QTRY_VERIFY(!panel->busy());
    }
    void verifyIdleAfterAttempt() {
        QVERIFY(!find<QProgressBar>("NUMERICSLIDE_PROGRESS")->isVisible());
        QVERIFY(!find<QLabel>("NUMERICSLIDE_PROGRESS_value")->isVisible());
        QVERIFY(find<QPushButton>("BUTTON_START_UPDATE")->isVisible());
        QVERIFY(find<QPushButton>("BUTTON_START_UPDATE")->isEnabled());
        QVERIFY(find<QWidget>("panelContent")->isEnabled());
        QCOMPARE(find<QLineEdit>("TEXTBOX_FILE_NAME")->text(), file);
    }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        image = j4::testing::makeImage(40, 100);
        file = j4::testing::writeUpdateFile(dir->filePath("update.j4u"), image);
        link = std::make_unique<QtSerialLink>(600);
        panel = MainPanel::load(state, *link);
        QVERIFY(panel);
        panel->displayPanel();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
    }
    void cleanup() {
        panel.reset();
        qunsetenv("J4_PORTS");
    }

    void panelAsDefined() {
        QCOMPARE(panel->windowTitle(), QStringLiteral("J4 Updater v1.0, Ferrowan GmbH, 2008"));
        QCOMPARE(panel->size(), QSize(352, 215));
        QCOMPARE(panel->palette().color(QPalette::Window), QColor(0xEC, 0xE9, 0xD8));

        auto* port = find<QSpinBox>("NUMERIC_COMPORT");
        QCOMPARE(port->minimum(), 1);
        QCOMPARE(port->maximum(), 255);
        QCOMPARE(port->singleStep(), 1);
        QCOMPARE(port->value(), 1);
        QCOMPARE(port->geometry(), QRect(12, 37, 51, 21));
        QCOMPARE(find<QLabel>("NUMERIC_COMPORT_label")->text(), QStringLiteral("J4 ComPort"));

        auto* choose = find<QPushButton>("BUTTON_FILE_CHOICE");
        QCOMPARE(choose->text(), QStringLiteral("..."));
        QVERIFY(choose->isEnabled());
        QCOMPARE(choose->geometry(), QRect(299, 88, 39, 23));

        auto* slide = find<QProgressBar>("NUMERICSLIDE_PROGRESS");
        QCOMPARE(slide->minimum(), 0);
        QCOMPARE(slide->maximum(), 100);
        QCOMPARE(slide->value(), 0);
        QVERIFY(!slide->isVisible());
        QVERIFY(!find<QLabel>("NUMERICSLIDE_PROGRESS_label")->isVisible());
        QCOMPARE(slide->geometry(), QRect(12, 153, 275, 16));
        QVERIFY(slide->styleSheet().contains("#3399FF"));

        auto* quit = find<QPushButton>("COMMANDBUTTON");
        QCOMPARE(quit->text(), QStringLiteral("&Quit"));
        QCOMPARE(QKeySequence::mnemonic(quit->text()), QKeySequence(Qt::ALT | Qt::Key_Q));
        QCOMPARE(quit->geometry(), QRect(300, 38, 38, 25));

        auto* name = find<QLineEdit>("TEXTBOX_FILE_NAME");
        QVERIFY(name->isReadOnly());
        QVERIFY(name->text().isEmpty());
        QCOMPARE(name->geometry(), QRect(12, 87, 276, 29));
        QCOMPARE(find<QLabel>("TEXTBOX_FILE_NAME_label")->text(), QStringLiteral("Update File"));

        auto* start = find<QPushButton>("BUTTON_START_UPDATE");
        QCOMPARE(start->text(), QStringLiteral("&Start Update"));
        QCOMPARE(QKeySequence::mnemonic(start->text()), QKeySequence(Qt::ALT | Qt::Key_S));
        QVERIFY(!start->isEnabled());
        QVERIFY(start->isVisible());
        QCOMPARE(start->geometry(), QRect(121, 147, 94, 39));

        const QStringList callbacks{choose->property("callback").toString(),
                                    quit->property("callback").toString(),
                                    start->property("callback").toString()};
        QCOMPARE(callbacks, (QStringList{"Choice_File", "Quit", "Start_Update"}));
    }

    void portToolTipNamesTheDevice() {
        qputenv("J4_PORTS", "/dev/j4-first:/dev/j4-second");
        auto* port = find<QSpinBox>("NUMERIC_COMPORT");
        port->setValue(2);
        QCOMPARE(port->toolTip(), QStringLiteral("Port 2: /dev/j4-second"));
        port->setValue(3);
        QCOMPARE(port->toolTip(), QStringLiteral("No serial port has the number 3."));
    }

    void wholeUpdateFromTheFileButton() {
        DevSim device({"--delay-us", "4000"});
        qputenv("J4_PORTS", device.device().toLocal8Bit());
        chooseFile(file);
        auto* slide = find<QProgressBar>("NUMERICSLIDE_PROGRESS");
        QSignalSpy moves(slide, &QProgressBar::valueChanged);
        QTest::mouseClick(find<QPushButton>("BUTTON_START_UPDATE"), Qt::LeftButton);
        // The window keeps working while the transfer runs.
        QTRY_VERIFY(slide->isVisible());
        QVERIFY(!find<QPushButton>("BUTTON_START_UPDATE")->isVisible());
        QTRY_VERIFY(!find<QWidget>("panelContent")->isEnabled());
        QCOMPARE(waitForResult(), (QStringList{"Info", "Update is completed."}));
        QCOMPARE(slide->value(), 100);
        QVERIFY(slide->isVisible());
        QCOMPARE(find<QLabel>("NUMERICSLIDE_PROGRESS_value")->text(), QStringLiteral("100"));
        QSet<int> seen;
        for (const auto& move : moves)
            seen.insert(move.first().toInt());
        QVERIFY2(seen.size() >= 10, "the slide moved in steps while the frames went out");
        closeResult();
        verifyIdleAfterAttempt();
        QCOMPARE(device.capture(), image);
    }

    void crcErrorAndSilentDeviceEndInTheIdleLayout() {
        {
            DevSim device({"--reject", "3,4,5,6"});
            qputenv("J4_PORTS", device.device().toLocal8Bit());
            chooseFile(file);
            // Alt+S presses Start Update.
            QApplication::setActiveWindow(panel.get());
            QVERIFY(QTest::qWaitForWindowActive(panel.get()));
            QTest::keyClick(panel.get(), Qt::Key_S, Qt::AltModifier);
            QCOMPARE(waitForResult(), (QStringList{"Error", "CRC error. File damaged."}));
            QVERIFY(visibleMessage()->informativeText().contains("frame 3"));
            closeResult();
            verifyIdleAfterAttempt();
        }
        DevSim silent({"--silent-from", "2"});
        qputenv("J4_PORTS", silent.device().toLocal8Bit());
        QTest::mouseClick(find<QPushButton>("BUTTON_START_UPDATE"), Qt::LeftButton);
        QCOMPARE(waitForResult(),
                 (QStringList{"Error", "No answer from the device within 600 ms."}));
        closeResult();
        verifyIdleAfterAttempt();
    }

    void missingPortEndsInTheIdleLayout() {
        qputenv("J4_PORTS", dir->filePath("no-device").toLocal8Bit());
        chooseFile(file);
        QTest::mouseClick(find<QPushButton>("BUTTON_START_UPDATE"), Qt::LeftButton);
        QCOMPARE(waitForResult(), (QStringList{"Error", "The serial port does not exist."}));
        QVERIFY(visibleMessage()->informativeText().contains("Port 1: "));
        QVERIFY2(find<QWidget>("panelContent")->isEnabled(), "failed before dimming");
        closeResult();
        verifyIdleAfterAttempt();
    }

    void closeIsRefusedDuringATransfer() {
        DevSim device({"--silent-from", "1"});
        qputenv("J4_PORTS", device.device().toLocal8Bit());
        chooseFile(file);
        QTest::mouseClick(find<QPushButton>("BUTTON_START_UPDATE"), Qt::LeftButton);
        QTRY_VERIFY(!find<QWidget>("panelContent")->isEnabled());
        QVERIFY(!panel->close());
        QVERIFY(panel->isVisible());
        // A second press of anything while busy is not taken either.
        QTest::mouseClick(find<QPushButton>("BUTTON_FILE_CHOICE"), Qt::LeftButton);
        QCOMPARE(waitForResult().at(0), QStringLiteral("Error"));
        closeResult();
        QVERIFY(panel->findChild<QFileDialog*>() == nullptr);
        verifyIdleAfterAttempt();
    }

    void exitStatusOfTheProgram() {
        const QString program = QStringLiteral(J4_UPDATER_PATH);
        QProcess updater;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        updater.setProcessEnvironment(environment);
        updater.start(program);
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitCode(), 255); // -1: no window system, nothing shown
        QVERIFY(updater.readAll().isEmpty());

        // A display that cannot be reached ends the same way, not in Qt's abort.
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("DISPLAY", ":97");
        updater.setProcessEnvironment(environment);
        updater.start(program);
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 255);
        QVERIFY(updater.readAll().isEmpty());
        environment.remove("DISPLAY");

        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("J4_STARTUP_PROBE", "1");
        updater.setProcessEnvironment(environment);
        updater.start(program);
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY(updater.readAllStandardOutput().startsWith("ready"));
    }
};

QTEST_MAIN(MainPanelTest)
#include "main_panel_test.moc"
