// The real windows on a real X server (Xvfb), saved as PNGs into the folder
// J4_SCREENSHOTS names (default: here): the window with its file chosen, the
// same under a dark palette, and the station at work on simulated devices.

#include "processes.h"
#include "station_window.h"
#include "updater_window.h"
#include "window_tests.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace j4;
using j4::testing::DevSim;

class WindowScreenshot : public QObject {
    Q_OBJECT

    static QString shotPath(const char* name) {
        return QDir(qEnvironmentVariable("J4_SCREENSHOTS", QStringLiteral(".")))
            .filePath(QString::fromLatin1(name));
    }
    static QImage grab(QWidget& window) {
        return QGuiApplication::primaryScreen()->grabWindow(window.winId()).toImage();
    }
    static void chooseExample(UpdaterWindow& window) {
        QTest::mouseClick(window.findChild<QPushButton*>("chooseFileButton"), Qt::LeftButton);
        QFileDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = window.findChild<QFileDialog*>()) != nullptr && dialog->isVisible());
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(QStringLiteral(J4_EXAMPLE_FILE));
        static_cast<QDialog*>(dialog)->accept();
        auto* start = window.findChild<QPushButton*>("startButton");
        QTRY_VERIFY(start->isEnabled() && window.findChild<QFileDialog*>() == nullptr);
        QTest::qWait(300); // let the dialog's area be redrawn
    }

private slots:
    void fileReadyWindow() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        auto window = std::make_unique<UpdaterWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        chooseExample(*window);
        const QImage shot = grab(*window);
        QCOMPARE(shot.size(), QSize(352, 215));
        QCOMPARE(QColor(shot.pixel(200, 10)), QColor(0xEC, 0xE9, 0xD8));
        QVERIFY(shot.save(shotPath("window.png")));
        const QString title = window->windowTitle();
        window.reset(); // the only window with that title is then the program's

        // Task bars match the program's window to its desktop entry by its
        // class.
        QProcess updater;
        updater.start(QStringLiteral(J4_UPDATER_PATH));
        QVERIFY(updater.waitForStarted());
        QByteArray windowClass;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                QProcess xprop;
                xprop.start(QStringLiteral("xprop"), {"-name", title, "WM_CLASS"});
                xprop.waitForFinished(j4::testing::kPatienceMs);
                windowClass = xprop.readAllStandardOutput();
                return windowClass.contains("WM_CLASS(STRING)");
            }(),
            10000);
        updater.terminate();
        updater.waitForFinished(j4::testing::kPatienceMs);
        QVERIFY2(windowClass.contains("\"j4_updater\""), windowClass.constData());
    }

    void darkDesktopWindow() {
        const QPalette before = QApplication::palette();
        QApplication::setPalette(j4::testing::darkDesktopPalette());
        UpdaterWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        chooseExample(window);
        QVERIFY(grab(window).save(shotPath("window-dark.png")));
        QApplication::setPalette(before);
    }

    void stationAtWork() {
        // Three slots: one device updated, one being updated, one empty.
        QTemporaryDir dir;
        const QString slot1 = dir.filePath("jig-left");
        const QString slot2 = dir.filePath("jig-middle");
        StationWindow window;
        for (const QString& slot : {slot1, slot2, dir.filePath("jig-right")})
            QVERIFY(window.addSlot({runs::TargetName::Kind::Device, slot.toStdString()}));
        QVERIFY(window.setUpdateFile(QStringLiteral(J4_EXAMPLE_FILE)));
        window.resize(760, 420);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.startWatching();
        auto* table = window.findChild<QTableWidget*>("slotTable");
        DevSim quick;
        QVERIFY(QFile::link(quick.device(), slot1));
        QTRY_COMPARE_WITH_TIMEOUT(table->item(0, 4)->text(), QStringLiteral("1"),
                                  j4::testing::kPatienceMs);
        DevSim slow({"--delay-us", "20000"});
        QVERIFY(QFile::link(slow.device(), slot2));
        QTRY_VERIFY_WITH_TIMEOUT(table->item(1, 3)->text().startsWith("updating 3"),
                                 j4::testing::kPatienceMs);
        QVERIFY(grab(window).save(shotPath("station.png")));
        window.stopWatching();
        QTRY_VERIFY(!window.watching());
    }
};

QTEST_MAIN(WindowScreenshot)
#include "window_screenshot.moc"
