// The station window on a real X server (Xvfb; offscreen without one), with
// the real j4_devsim appearing at and vanishing from its slots' paths, and the
// real program.

#include "processes.h"
#include "slot_rows.h"
#include "station_window.h"
#include "update_files.h"
#include "window_tests.h"

#include <QApplication>
#include <QClipboard>
#include <QCryptographicHash>
#include <QFileDialog>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>

#include <csignal>

using namespace j4;
using j4::testing::DevSim;

class StationWindowTest : public QObject, j4::testing::WindowUnderTest<StationWindow> {
    Q_OBJECT

    static constexpr int Adapter = SlotRows::AdapterColumn;
    static constexpr int Unit = SlotRows::UnitColumn;
    static constexpr int State = SlotRows::StateColumn;
    static constexpr int Completed = SlotRows::CompletedColumn;
    static constexpr int Failed = SlotRows::FailedColumn;

    QString cell(int row, int column) {
        const QTableWidgetItem* item = find<QTableWidget>("slotTable")->item(row, column);
        return item != nullptr ? item->text() : QString();
    }
    bool anyBoxShown() const { return visibleBox() != nullptr; }
    QString slotPath(int n) { return dir->filePath(QStringLiteral("slot%1").arg(n)); }
    // A simulated device plugged into slot `n`.
    std::unique_ptr<DevSim> plug(int n, const QStringList& options = {}) {
        auto device = std::make_unique<DevSim>(options);
        if (!QFile::link(device->device(), slotPath(n)))
            qFatal("cannot plug");
        return device;
    }
    void pull(int n, std::unique_ptr<DevSim>& device) {
        QFile::remove(slotPath(n));
        device.reset();
    }
    void watchSlots(int count) {
        for (int n = 1; n <= count; ++n)
            QVERIFY(window->addSlot({runs::TargetName::Kind::Device, slotPath(n).toStdString()}));
        QVERIFY(window->setUpdateFile(file));
        QTest::mouseClick(find<QPushButton>("startButton"), Qt::LeftButton);
        QTRY_VERIFY(window->watching());
    }

    // A window that logs its attempts in the test's folder.
    std::unique_ptr<StationWindow> newWindow(std::chrono::milliseconds answerTimeout) {
        auto made = std::make_unique<StationWindow>(answerTimeout);
        j4::WorkSettings logged;
        logged.logPath = dir->filePath("station.jsonl").toStdString();
        made->setWorkSettings(logged);
        return made;
    }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        image = j4::testing::makeImage(20, 100);
        file = j4::testing::writeUpdateFile(dir->filePath("update.j4u"), image);
        window = newWindow(std::chrono::milliseconds{500});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup() { window.reset(); }

    void eachDevicePluggedInIsUpdatedOnceWithoutABox() {
        QCOMPARE(window->windowTitle(), QStringLiteral("J4 Updater \u2014 Station"));
        watchSlots(2);
        QCOMPARE(find<QLabel>("fileSummary")->text(),
                 QStringLiteral("20 frames, 2040 bytes, SHA-256 ") +
                     QCryptographicHash::hash(j4::testing::toUpdateText(image),
                                              QCryptographicHash::Sha256)
                         .toHex());
        // Each row says the operator's next step.
        QCOMPARE(cell(0, State), QStringLiteral("plug in a device"));
        QCOMPARE(cell(1, Adapter), QStringLiteral("not plugged in"));
        // Slot 1: two devices, one after the other; slot 2: one that hangs up.
        auto first = plug(1);
        auto failing = plug(2, {"--hangup-at", "5:10"});
        QTRY_COMPARE_WITH_TIMEOUT(cell(0, State), QStringLiteral("completed: pull the device"),
                                  j4::testing::kPatienceMs);
        // The device that hung up is gone: the row asks for the next, and
        // keeps why the last one failed in view.
        QTRY_VERIFY_WITH_TIMEOUT(
            cell(1, State).startsWith("plug in a device; the last one failed: "),
            j4::testing::kPatienceMs);
        // The port its link leads to, not the link's name again.
        QCOMPARE(cell(0, Adapter), QFileInfo(first->device()).canonicalFilePath().mid(5));
        QTest::qWait(600); // left plugged: not updated again
        QCOMPARE(
            (QStringList{cell(0, Completed), cell(0, Failed), cell(1, Completed), cell(1, Failed)}),
            (QStringList{"1", "0", "0", "1"}));
        QCOMPARE(first->capture(), image);
        pull(1, first);
        QTRY_COMPARE(cell(0, Adapter), QStringLiteral("not plugged in"));
        QTRY_COMPARE(cell(0, State), QStringLiteral("plug in a device; the last one completed"));
        auto second = plug(1);
        QTRY_COMPARE_WITH_TIMEOUT(cell(0, Completed), QStringLiteral("2"),
                                  j4::testing::kPatienceMs);
        QCOMPARE(second->capture(), image);
        QVERIFY(!anyBoxShown());
        // The shift's totals: three attempts, each its own unit, two at
        // their first attempt.
        QCOMPARE(find<QLabel>("totalsLine")->text(),
                 QStringLiteral("Completed 2, failed 1, first-pass yield 67 %"));
        QTest::mouseClick(find<QPushButton>("stopButton"), Qt::LeftButton);
        QTRY_VERIFY(!window->watching());
        QCOMPARE(cell(0, State), QStringLiteral("not watching"));

        // The pane: a line per attempt and the counts at the end; copied
        // and saved as shown.
        const QString log = find<QPlainTextEdit>("logView")->toPlainText();
        QCOMPARE(log.count("Update is completed."), 2);
        QVERIFY2(log.contains("slot 2  " + slotPath(2) + "  -  "), qPrintable(log));
        QVERIFY(log.contains("slot 1 (" + slotPath(1) + "): 2 completed, 0 failed"));
        QVERIFY(log.contains("slot 2 (" + slotPath(2) + "): 0 completed, 1 failed"));
        QTest::mouseClick(find<QPushButton>("copyLogButton"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), log);
        QTest::mouseClick(find<QPushButton>("saveLogButton"), Qt::LeftButton);
        QFileDialog* dialog = nullptr;
        QTRY_VERIFY((dialog = window->findChild<QFileDialog*>("saveLogDialog")) != nullptr);
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(dir->filePath("pane.txt"));
        static_cast<QDialog*>(dialog)->accept();
        QFile saved(dir->filePath("pane.txt"));
        QTRY_VERIFY(saved.exists());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(saved.readAll()), log + "\n");
        // The JSON log: one line per device, with its slot.
        QFile json(dir->filePath("station.jsonl"));
        QVERIFY(json.open(QIODevice::ReadOnly));
        QList<int> slotNumbers;
        for (const QByteArray& line : json.readAll().split('\n'))
            if (!line.isEmpty())
                slotNumbers << QJsonDocument::fromJson(line).object()["slot"].toInt();
        std::sort(slotNumbers.begin(), slotNumbers.end());
        QCOMPARE(slotNumbers, (QList<int>{1, 1, 2}));
    }

    void slotsAndFilesThatCannotBeUsedAreSaidInThePane() {
        for (const runs::TargetName& slot :
             {runs::TargetName{runs::TargetName::Kind::Port, "1-3"},
              runs::TargetName{runs::TargetName::Kind::Device, "rfc2217://host:2000"},
              runs::TargetName{runs::TargetName::Kind::Port, "4"}})
            window->addSlot(slot);
        find<QLineEdit>("slotEntry")->setText("4");
        QTest::mouseClick(find<QPushButton>("addSlotButton"), Qt::LeftButton);
        QCOMPARE(find<QTableWidget>("slotTable")->rowCount(), 1);
        const QString log = find<QPlainTextEdit>("logView")->toPlainText();
        QCOMPARE(log.count("not added"), 3);
        QVERIFY(log.contains("Slot port 4 not added: it is a slot already."));
        QVERIFY(!window->setUpdateFile(dir->filePath("missing.j4u")));
        QVERIFY(find<QLabel>("fileSummary")->text().startsWith("File open error! "));
        QVERIFY(!find<QPushButton>("startButton")->isEnabled());
        // Only the released file, when the station is told its SHA-256.
        window->expectSha256(std::string(64, 'a'));
        QVERIFY(!window->setUpdateFile(file));
        QVERIFY(find<QLabel>("fileSummary")
                    ->text()
                    .startsWith("Update file is not the expected one: its SHA-256 is "));
        QVERIFY(!find<QPushButton>("startButton")->isEnabled());
        window->expectSha256({});
        QVERIFY(window->setUpdateFile(file));
        QVERIFY(find<QPushButton>("startButton")->isEnabled());
        // With a trusted key: the signer shown, an unsigned file refused.
        const j4::testing::Minisign release(dir->path(), QStringLiteral("release"));
        const j4::testing::ScopedVariable trusted("J4_TRUST_KEYS",
                                                  QFile::encodeName(release.publicKey()));
        QVERIFY(!window->setUpdateFile(file));
        QVERIFY(find<QLabel>("fileSummary")->text().startsWith("Update file is not signed. "));
        QVERIFY(!find<QPushButton>("startButton")->isEnabled());
        release.sign(file, QStringLiteral("version=2.0.1"));
        QVERIFY(window->setUpdateFile(file));
        QVERIFY(find<QLabel>("fileSummary")
                    ->text()
                    .endsWith(QStringLiteral(", signed by key %1 \u2014 version 2.0.1")
                                  .arg(release.keyId())));
    }

    void closingMidUpdateAsksThenInterrupts() {
        watchSlots(1);
        // 20 frames take 20 s: the window is closed mid-update however
        // busy the machine.
        auto slow = plug(1, {"--delay-us", "1000000"});
        QTRY_VERIFY_WITH_TIMEOUT(cell(0, State).startsWith("updating"), j4::testing::kPatienceMs);
        QSignalSpy exits(window.get(), &StationWindow::exitRequested);
        window->close();
        QMessageBox* question = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((question = window->findChild<QMessageBox*>("stopQuestion")) !=
                                     nullptr,
                                 j4::testing::kPatienceMs);
        QCOMPARE(question->text(), QStringLiteral("Stop the update?"));
        QTest::mouseClick(question->button(QMessageBox::Yes), Qt::LeftButton);
        QTRY_COMPARE(exits.size(), 1);
        QCOMPARE(exits.front().front().toInt(), 0);
        QCOMPARE(cell(0, Failed), QStringLiteral("1"));
        QVERIFY(
            find<QPlainTextEdit>("logView")->toPlainText().contains("The update was interrupted."));
        QVERIFY(!slow->stop().startsWith("transmissions=20"));
    }

    void theProgramStartsAtOnceWithItsSlotsAndEndsOnASignal() {
        const QString program = QStringLiteral(J4_UPDATER_PATH);
        QProcess updater;
        QFile content(file);
        QVERIFY(content.open(QIODevice::ReadOnly));
        const QString sha256 =
            QCryptographicHash::hash(content.readAll(), QCryptographicHash::Sha256).toHex();
        // The pin written as j4_flash takes it, with '='.
        const QString metrics = dir->filePath("j4.prom");
        updater.start(program,
                      {"--station", "--expect-sha256=" + sha256, "--device", slotPath(1),
                       "--metrics", metrics, "--log", dir->filePath("station.jsonl"), file});
        QVERIFY(updater.waitForStarted());
        auto slow = plug(1, {"--delay-us", "100000"});
        QTRY_VERIFY_WITH_TIMEOUT(!slow->capture().isEmpty(),
                                 j4::testing::kPatienceMs); // watching at once
        ::kill(static_cast<pid_t>(updater.processId()), SIGTERM);
        QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
        QCOMPARE(updater.exitCode(), 130);
        QVERIFY(!slow->stop().startsWith("transmissions=20"));
        QFile json(dir->filePath("station.jsonl"));
        QVERIFY(json.open(QIODevice::ReadOnly));
        QVERIFY(json.readAll().contains("\"outcome\":\"interrupted\""));
        // The station's state for Prometheus, the cut attempt counted.
        QFile prom(metrics);
        QVERIFY(prom.open(QIODevice::ReadOnly));
        const QByteArray counted = prom.readAll();
        QVERIFY2(counted.contains(",slot=\"1\",result=\"interrupted\"} 1\n"), counted.constData());
        // Slots and a file go with --station; a station's slot is one port.
        for (const QStringList& arguments :
             {QStringList{"--port", "3"}, QStringList{"--settle", "100", file},
              QStringList{"--station", "--port", "1-3", file}, QStringList{"--station", file, file},
              QStringList{"--station", "--bogus"}}) {
            updater.start(program, arguments);
            QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
            QCOMPARE(updater.exitCode(), 2);
        }
    }

    void sixteenSlotsInViewTheirStatesReadableOnAnyDesktop() {
        // At its default size, on a 1366x768 screen: all 16 rows in view,
        // each state's colour with its text at 4.5:1 or more, light or dark,
        // and at a 13 pt desktop font the states whole (a failure's reason
        // wrapped, not cut) and the slots' column narrow.
        for (const auto& [dark, points] :
             {std::pair{false, 0}, std::pair{true, 0}, std::pair{true, 13}}) {
            const j4::testing::DesktopLook look(dark, points);
            window = newWindow(std::chrono::milliseconds{3000});
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            QVERIFY(window->width() <= 1366 && window->height() <= 768 - 48);
            // Slots named by long paths that differ in a few characters,
            // as by-path names do.
            const auto longPath = [&](int n) {
                return dir->filePath(QStringLiteral("pci-0000:00:14.0-usb-0:%1:1.0-port%1").arg(n));
            };
            for (int n = 1; n <= 16; ++n)
                QVERIFY(
                    window->addSlot({runs::TargetName::Kind::Device, longPath(n).toStdString()}));
            QVERIFY(window->setUpdateFile(file));
            QTest::mouseClick(find<QPushButton>("startButton"), Qt::LeftButton);
            QTRY_VERIFY(window->watching());
            auto* table = find<QTableWidget>("slotTable");
            QCOMPARE(cell(2, SlotRows::SlotColumn), QStringLiteral("\u20263:1.0-port3\u2026"));
            QVERIFY2(table->columnWidth(SlotRows::SlotColumn) <= table->viewport()->width() / 4,
                     "the Slot column takes a quarter of the width at most");
            const auto plugAt = [&](int n, const QStringList& options) {
                auto device = std::make_unique<DevSim>(options);
                const QString at = longPath(n);
                if (!QFile::link(device->device(), at))
                    qFatal("cannot plug");
                return std::pair{std::move(device), at};
            };
            auto [done, donePath] = plugAt(1, {});
            auto [hangs, hangsPath] = plugAt(2, {"--reject", "3,4,5,6"});
            auto [silent, silentPath] = plugAt(3, {"--silent-from", "2"});
            // Half of the slots failing: their reasons still on one line each.
            std::vector<std::pair<std::unique_ptr<DevSim>, QString>> failing;
            for (int n = 4; n <= 8; ++n)
                failing.push_back(plugAt(n, {"--reject", "3,4,5,6"}));
            QTRY_COMPARE(cell(0, State), QStringLiteral("completed: pull the device"));
            QTRY_VERIFY(cell(1, State).startsWith("failed: pull and retry. "));
            QTRY_VERIFY(cell(2, State).startsWith("waiting for the device ("));
            QTRY_VERIFY(cell(7, State).startsWith("failed: pull and retry. "));
            for (int row : {0, 15})
                QVERIFY2(
                    table->viewport()->rect().contains(
                        table->visualItemRect(table->item(row, State))),
                    qPrintable(
                        QStringLiteral("row %1 out of view at %2 pt").arg(row + 1).arg(points)));
            for (int row = 0; row < 16; ++row) {
                // Whole: the text's wrapped height fits its cell.
                const QRect cellRect = table->visualItemRect(table->item(row, State));
                const QRect needed = table->fontMetrics().boundingRect(
                    cellRect.adjusted(3, 0, -3, 0), Qt::TextWordWrap, cell(row, State));
                QVERIFY2(needed.height() <= cellRect.height() && needed.width() <= cellRect.width(),
                         qPrintable(QStringLiteral("row %1's state cut at %2 pt: %3")
                                        .arg(row + 1)
                                        .arg(points)
                                        .arg(cell(row, State))));
            }
            const QImage shot = window->grab().toImage();
            for (const auto& [row, hue] : {std::pair{0, 120}, std::pair{1, 0}, std::pair{2, 42}}) {
                const QRect area(
                    table->viewport()->mapTo(
                        window.get(), table->visualItemRect(table->item(row, State)).topLeft()),
                    table->visualItemRect(table->item(row, State)).size());
                QVERIFY2(j4::testing::textContrast(shot, area) >= 4.5,
                         qPrintable(QStringLiteral("row %1 (dark %2): %3")
                                        .arg(row + 1)
                                        .arg(dark)
                                        .arg(j4::testing::textContrast(shot, area))));
                const QColor background =
                    SlotRows::colours(SlotRows::State(row == 0   ? SlotRows::State::Completed
                                                      : row == 1 ? SlotRows::State::Failed
                                                                 : SlotRows::State::Silent))
                        .first;
                QVERIFY(std::abs(background.hsvHue() - hue) <= 20);
            }
            window.reset();
            for (const QString& at : {donePath, hangsPath, silentPath})
                QFile::remove(at);
            for (auto& [device, at] : failing)
                QFile::remove(at);
            failing.clear();
            done.reset();
            hangs.reset();
            silent.reset();
        }
    }

    void unitsScannedGoToTheNextDevicePluggedIn() {
        auto* entry = find<QLineEdit>("slotEntry");
        QVERIFY2(entry->width() >= entry->fontMetrics().horizontalAdvance(entry->placeholderText()),
                 "the slot field's hint is not cut");
        window->setLine(std::chrono::milliseconds{0}, "^J4-[0-9]{4}$", true, {});
        watchSlots(2);
        auto* unit = find<QLineEdit>("unitEntry");
        QTRY_VERIFY(window->focusWidget() == unit); // the operator's next action, while watching
        const auto scan = [&](const QString& text) {
            QTest::keyClicks(unit, text);
            QTest::keyClick(unit, Qt::Key_Return);
        };
        // A mnemonic whose button is disabled types nothing into the field.
        QTest::keyClick(unit, Qt::Key_W, Qt::AltModifier);
        QCOMPARE(unit->text(), QString());
        scan("J4-12");
        const auto pane = [&] { return find<QPlainTextEdit>("logView")->toPlainText(); };
        QVERIFY(pane().contains("\"J4-12\" is not a unit serial (^J4-[0-9]{4}$)"));
        auto first = plug(1);
        QTRY_COMPARE(cell(0, State), QStringLiteral("scan the unit's label"));
        QVERIFY2(cell(0, SlotRows::AdapterColumn) != QStringLiteral("not plugged in"),
                 "a row waiting for its unit names the adapter it is on");
        QVERIFY(first->capture().isEmpty());
        // Refused with a device waiting: the field and its row turn red with
        // the reason.
        scan("J4-99");
        const QColor red = SlotRows::colours(SlotRows::State::ScanRefused).first;
        QCOMPARE(unit->palette().color(QPalette::Base), red);
        QVERIFY(unit->toolTip().contains("is not a unit serial"));
        QVERIFY(cell(0, State).startsWith("scan refused: \"J4-99\" is not a unit serial"));
        QCOMPARE(find<QTableWidget>("slotTable")->item(0, State)->background().color(), red);
        scan("J4-0001");
        QVERIFY(unit->palette().color(QPalette::Base) != red);
        QTRY_COMPARE(cell(0, State), QStringLiteral("completed: pull the device"));
        QCOMPARE(cell(0, Unit), QStringLiteral("J4-0001"));
        scan("J4-0002");
        scan("J4-0003");
        QVERIFY(pane().contains("Unit J4-0003 replaces J4-0002, which no device took."));
        auto second = plug(2);
        QTRY_COMPARE(cell(1, State), QStringLiteral("completed: pull the device"));
        QCOMPARE(cell(1, Unit), QStringLiteral("J4-0003"));
        QTest::mouseClick(find<QPushButton>("stopButton"), Qt::LeftButton);
        QTRY_VERIFY(!window->watching());
        QFile json(dir->filePath("station.jsonl"));
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QByteArray logged = json.readAll();
        QVERIFY(logged.contains("\"unit\":\"J4-0001\"") && logged.contains("\"unit\":\"J4-0003\""));
    }

    // A station that follows its line, against a real PostgreSQL: the line's
    // release, work order and units done in place of a file; a hold said
    // with Resume beside it, which asks first and lifts it for the line.
    void aLineStationShowsItsAssignmentAndResumesItsLine() {
        j4::testing::TestDatabase database;
        const QString trusted =
            j4::testing::assignLine(J4_PLANT, database, dir->path(), file,
                                    {"L9", "--release", "5.0.0", "--work-order", "WO-W",
                                     "--quantity", "3", "--stop-after", "1/1"});
        QVERIFY(!trusted.isEmpty());
        release::ReleaseOptions trusting;
        trusting.trustKeyFiles.push_back(trusted.toStdString());
        line::FollowSettings follow{"L9", database.url().toStdString(), "bench-1", trusting,
                                    dir->filePath("state").toStdString()};
        QVERIFY(window->addSlot({runs::TargetName::Kind::Device, slotPath(1).toStdString()}));
        window->followLine(follow);
        QCOMPARE(find<QLineEdit>("fileName")->text(), QStringLiteral("L9"));
        QVERIFY(!find<QPushButton>("chooseFileButton")->isEnabled());
        QTest::mouseClick(find<QPushButton>("startButton"), Qt::LeftButton);
        auto* summary = find<QLabel>("fileSummary");
        QTRY_COMPARE_WITH_TIMEOUT(summary->text(),
                                  QStringLiteral("Line L9: release 5.0.0, work order WO-W, 0 of 3 "
                                                 "units."),
                                  j4::testing::kPatienceMs);
        auto device = plug(1);
        QTRY_COMPARE_WITH_TIMEOUT(summary->text(),
                                  QStringLiteral("Line L9: release 5.0.0, work order WO-W, 1 of 3 "
                                                 "units."),
                                  j4::testing::kPatienceMs);
        QCOMPARE(device->capture(), image);
        pull(1, device);
        QTRY_COMPARE(cell(0, Adapter), QStringLiteral("not plugged in"));
        auto failing = plug(1, {"--reject", "1,2,3,4"});
        auto* held = find<QLabel>("lineHold");
        auto* resume = find<QPushButton>("resumeButton");
        QTRY_VERIFY_WITH_TIMEOUT(held->isVisible(), j4::testing::kPatienceMs);
        QCOMPARE(held->text(), QStringLiteral("Held: 1 failures in the last 1 attempts."));
        QVERIFY(resume->isVisible() && resume->isEnabled());
        pull(1, failing);

        // Resume asks first: No leaves the line held.
        const auto answer = [&](QMessageBox::StandardButton button) {
            QTest::mouseClick(resume, Qt::LeftButton);
            QMessageBox* box = nullptr;
            QTRY_VERIFY((box = window->findChild<QMessageBox*>("resumeQuestion")) != nullptr);
            QCOMPARE(box->text(), QStringLiteral("Resume line L9?"));
            QTest::mouseClick(box->button(button), Qt::LeftButton);
        };
        answer(QMessageBox::No);
        QCOMPARE(database.query("SELECT count(*) FROM j4_holds WHERE line = 'L9'"),
                 QStringLiteral("1"));
        answer(QMessageBox::Yes);
        QTRY_VERIFY_WITH_TIMEOUT(!held->isVisible(), j4::testing::kPatienceMs);
        QVERIFY(!resume->isVisible());
        QCOMPARE(database.query("SELECT count(*) FROM j4_holds WHERE line = 'L9'"),
                 QStringLiteral("0"));
        const QString log = find<QPlainTextEdit>("logView")->toPlainText();
        QVERIFY2(log.contains("Line L9 resumed.") && log.contains("Line L9 goes on."),
                 qPrintable(log));
        QTest::mouseClick(find<QPushButton>("stopButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window->watching(), j4::testing::kPatienceMs);
    }

    void aProfileLocksTheSetUpAndWithoutOneTheLastIsOffered() {
        // Without a profile: the last station started here comes back.
        watchSlots(2);
        QTest::mouseClick(find<QPushButton>("stopButton"), Qt::LeftButton);
        QTRY_VERIFY(!window->watching());
        window = newWindow(j4::SerialLink::kDefaultAnswerTimeout);
        window->offerLastSetup();
        window->show();
        QCOMPARE(find<QTableWidget>("slotTable")->rowCount(), 2);
        QCOMPARE(cell(1, SlotRows::SlotColumn), QStringLiteral("slot2"));
        QCOMPARE(find<QTableWidget>("slotTable")->item(1, SlotRows::SlotColumn)->toolTip(),
                 slotPath(2));
        QCOMPARE(find<QLineEdit>("fileName")->text(), file);
        QTRY_VERIFY(window->focusWidget() == find<QPushButton>("startButton"));
        // With one: what it sets cannot be changed here, and the window says why.
        window->lockToProfile("/etc/j4-updater/line-3.ini");
        QCOMPARE(find<QLabel>("profileLine")->text(),
                 QStringLiteral("Set by /etc/j4-updater/line-3.ini"));
        QVERIFY(find<QLabel>("profileLine")->isVisible());
        for (const char* locked :
             {"chooseFileButton", "slotEntry", "addSlotButton", "removeSlotButton"})
            QVERIFY2(!find<QWidget>(locked)->isEnabled(), locked);
        QVERIFY(find<QPushButton>("startButton")->isEnabled());

        // The program: a profile's bad line is named, and nothing starts.
        QFile profile(dir->filePath("line.ini"));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write("[station]\nfile = " + file.toUtf8() + "\nslots = 1\nsettle = soon\n");
        profile.close();
        QProcess updater;
        updater.start(J4_UPDATER_PATH, {"--station", "--profile", profile.fileName()});
        QVERIFY(updater.waitForFinished(j4::testing::kPatienceMs));
        QCOMPARE(updater.exitCode(), 2);
        QVERIFY(updater.readAllStandardError().contains(
            (profile.fileName() + ":4: settle takes a number of milliseconds").toUtf8()));
    }
};

QTEST_MAIN(StationWindowTest)
#include "station_window_test.moc"
