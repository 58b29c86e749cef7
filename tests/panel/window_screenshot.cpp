// The real windows on a real X server (Xvfb), saved as PNGs into the folder
// J4_SCREENSHOTS names (default: here): the window with its file chosen, the
// same under a dark palette, and the station at work on simulated devices.

#include "processes.h"
#include "slot_rows.h"
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
        QTRY_VERIFY_WITH_TIMEOUT(window->hasSettled(), j4::testing::kPatienceMs); // ports listed
        chooseExample(*window);
        const QImage shot = grab(*window);
        QCOMPARE(shot.size(), window->size());
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
        const j4::testing::DesktopLook look(true);
        UpdaterWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY_WITH_TIMEOUT(window.hasSettled(), j4::testing::kPatienceMs);
        chooseExample(window);
        QVERIFY(grab(window).save(shotPath("window-dark.png")));
    }

    void stationAtWork() {
        // Sixteen slots at the default size, on a light and a dark desktop,
        // and at a 13 pt font on the dark one: one device updated (its unit
        // scanned), one failed, one being updated, one not answering, the
        // rest empty.
        using State = SlotRows::State;
        for (const auto& [dark, points, name] :
             {std::tuple{false, 0, "station.png"}, std::tuple{true, 0, "station-dark.png"},
              std::tuple{true, 13, "station-13pt-dark.png"}}) {
            const j4::testing::DesktopLook look(dark, points);
            // Short paths, as a jig's own folder would have.
            QTemporaryDir dir(QStringLiteral("/tmp/jig-XXXXXX"));
            const auto slot = [&](int n) { return dir.filePath(QStringLiteral("s%1").arg(n)); };
            StationWindow window(std::chrono::milliseconds{8000});
            for (int n = 1; n <= 16; ++n)
                QVERIFY(window.addSlot({runs::TargetName::Kind::Device, slot(n).toStdString()}));
            QVERIFY(window.setUpdateFile(QStringLiteral(J4_EXAMPLE_FILE)));
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.startWatching();
            auto* table = window.findChild<QTableWidget*>("slotTable");
            const auto state = [&](int row) {
                return SlotRows::State(
                    table->item(row, SlotRows::StateColumn)->data(Qt::UserRole).toInt());
            };
            auto* unit = window.findChild<QLineEdit*>("unitEntry");
            QTest::keyClicks(unit, "J4-00012345");
            QTest::keyClick(unit, Qt::Key_Return);
            DevSim quick;
            QVERIFY(QFile::link(quick.device(), slot(1)));
            QTRY_VERIFY_WITH_TIMEOUT(state(0) == State::Completed, j4::testing::kPatienceMs);
            DevSim hangs({"--reject", "40,41,42,43"});
            QVERIFY(QFile::link(hangs.device(), slot(2)));
            QTRY_VERIFY_WITH_TIMEOUT(state(1) == State::Failed, j4::testing::kPatienceMs);
            DevSim silent({"--silent-from", "30"});
            QVERIFY(QFile::link(silent.device(), slot(4)));
            DevSim slow({"--delay-us", "60000"});
            QVERIFY(QFile::link(slow.device(), slot(3)));
            QTRY_VERIFY_WITH_TIMEOUT(
                table->item(3, SlotRows::StateColumn)->text().contains("(2 s)"),
                j4::testing::kPatienceMs);
            QTest::qWait(300); // the last repaint
            QVERIFY(grab(window).save(shotPath(name)));
            window.stopWatching();
            QTRY_VERIFY(!window.watching());
        }
    }
};

QTEST_MAIN(WindowScreenshot)
#include "window_screenshot.moc"
