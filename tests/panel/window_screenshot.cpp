// The real window on a real X server (Xvfb), in the "File ready" state, saved
// as a PNG: J4_SCREENSHOT names the file (default: window.png here).

#include "updater_window.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

using namespace j4;

class WindowScreenshot : public QObject {
    Q_OBJECT

private slots:
    void fileReadyWindow() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        UpdaterWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QString example = QStringLiteral(J4_EXAMPLE_FILE);
        QTest::mouseClick(window.findChild<QPushButton*>("chooseFileButton"), Qt::LeftButton);
        QFileDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = window.findChild<QFileDialog*>()) != nullptr && dialog->isVisible());
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(example);
        static_cast<QDialog*>(dialog)->accept();
        auto* start = window.findChild<QPushButton*>("startButton");
        QTRY_VERIFY(start->isEnabled() && window.findChild<QFileDialog*>() == nullptr);
        QTest::qWait(300); // let the dialog's area be redrawn

        const QImage shot = QGuiApplication::primaryScreen()->grabWindow(window.winId()).toImage();
        QCOMPARE(shot.size(), QSize(352, 215));
        QCOMPARE(QColor(shot.pixel(200, 10)), QColor(0xEC, 0xE9, 0xD8));
        const QString out = qEnvironmentVariable("J4_SCREENSHOT", QStringLiteral("window.png"));
        QVERIFY(shot.save(out));
    }
};

QTEST_MAIN(WindowScreenshot)
#include "window_screenshot.moc"
