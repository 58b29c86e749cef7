// j4_flash end to end: the real program, the real port, the simulated device.

#include "processes.h"
#include "qt_serial_link.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

using namespace j4::testing;

namespace {

class FlashCli : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QByteArray image = makeImage(20, 200);
    QString file = writeUpdateFile(dir.filePath(QStringLiteral("update.j4u")), image);

    QString textFile(const char* name, const QByteArray& text) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return f.fileName();
    }
    ProgramResult flash(const QStringList& arguments, const QStringList& environment = {}) {
        return runProgram(flashPath(), arguments, environment);
    }
};

} // namespace

TEST_F(FlashCli, EveryOutcomeHasItsTextAndExitStatus) {
    struct Case {
        QStringList device;
        int exitCode;
        const char* lastLine;
    };
    const Case cases[] = {
        {{}, 0, "Update is completed."},
        {{"--reject", "3,4,5,6"}, 7, "CRC error. File damaged."},
        {{"--answer", "0x06@2"}, 6, "Communication error."},
        {{"--silent-from", "4"}, 5, "No answer from the device within 300 ms."},
        {{"--hangup-at", "4:50"}, 5, "The device or adapter was removed, or the line hung up."},
    };
    for (const Case& c : cases) {
        DevSim device(c.device);
        const ProgramResult r = flash({"--device", device.device(), "--timeout", "300", file});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.lastLine << '\n' << r.err.toStdString();
        EXPECT_EQ(r.lastLine().toStdString(), c.lastLine);
        if (c.exitCode == 0) {
            EXPECT_TRUE(device.capture() == image);
            EXPECT_TRUE(r.err.isEmpty()) << "quiet when standard error is not a terminal";
        }
    }
}

TEST_F(FlashCli, PortNumbersComeFromTheList) {
    DevSim device;
    const QStringList ports{"J4_PORTS=/dev/j4-nothing-here:" + device.device()};
    const ProgramResult listed = flash({"--list-ports"}, ports);
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.out.contains("  2  " + device.device())) << listed.out.toStdString();

    EXPECT_EQ(flash({"--port", "2", file}, ports).exitCode, 0);
    const ProgramResult missing = flash({"--port", "1", file}, ports);
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_EQ(missing.lastLine().toStdString(), "The serial port does not exist.");
    EXPECT_EQ(flash({"--port", "3", file}, ports).exitCode, 4);
}

TEST_F(FlashCli, HeldPortIsReportedAsInUse) {
    DevSim device;
    j4::QtSerialLink holder;
    ASSERT_EQ(holder.openDevice(device.device()), 0);
    const ProgramResult r = flash({"--device", device.device(), file});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.lastLine().toStdString(), "The serial port is in use by another program.");
}

TEST_F(FlashCli, RefusedFilesAreNeverSent) {
    struct Case {
        QByteArray text;
        const char* lastLine;
    };
    const Case cases[] = {
        {"  \r\n", "Update file is empty."},
        {"00 03 AA BB\r\n", "Update file is damaged: incomplete frame at offset 0."},
        {"00 01 AA\r\n00 01 BB\r\n00 01 ZZ\r\n",
         "Update file is damaged: unexpected character at line 3, column 7."},
        {toUpdateText(makeImage(5, 65534)), "Update file is too large: more than 262144 bytes."},
    };
    DevSim device;
    for (const Case& c : cases) {
        const ProgramResult r = flash({"--device", device.device(), textFile("bad.j4u", c.text)});
        EXPECT_EQ(r.exitCode, 3) << c.lastLine;
        EXPECT_EQ(r.lastLine().toStdString(), c.lastLine);
        const ProgramResult checked = flash({"--check", textFile("bad.j4u", c.text)});
        EXPECT_EQ(checked.exitCode, 3);
        EXPECT_EQ(checked.lastLine().toStdString(), c.lastLine);
    }
    EXPECT_EQ(device.stop().toStdString(), "transmissions=0 accepts=0 rejects=0");

    const ProgramResult gone = flash({"--check", dir.filePath("missing.j4u")});
    EXPECT_EQ(gone.exitCode, 3);
    EXPECT_EQ(gone.lastLine().toStdString(), "File open error!");
}

TEST_F(FlashCli, CheckPrintsFramesAndWritesTheImage) {
    const QString out = dir.filePath(QStringLiteral("image.bin"));
    const ProgramResult r = flash({"--check", file, "--image-out", out});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.trimmed(), file + ": 20 frames, 4040 bytes");
    QFile written(out);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll() == image);
}

TEST_F(FlashCli, UsageErrors) {
    for (const QStringList& arguments :
         {QStringList{}, QStringList{"--port", "1"}, QStringList{"--port", "0", file},
          QStringList{"--port", "1", "--device", "/dev/null", file},
          QStringList{"--image-out", "x", "--port", "1", file}, QStringList{"--bogus", file},
          QStringList{"--device", "/dev/null", "--timeout", "-5", file}}) {
        EXPECT_EQ(flash(arguments).exitCode, 2) << arguments.join(' ').toStdString();
    }
    const ProgramResult help = flash({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--check") && help.out.contains("--list-ports"));
}

TEST_F(FlashCli, InterruptClosesThePortCleanly) {
    DevSim device({"--delay-us", "20000"}); // 20 frames take 0.4 s
    QProcess flashProcess;
    flashProcess.start(flashPath(), {"--device", device.device(), file});
    ASSERT_TRUE(flashProcess.waitForStarted());
    QThread::msleep(150);
    ::kill(static_cast<pid_t>(flashProcess.processId()), SIGINT);
    ASSERT_TRUE(flashProcess.waitForFinished(5000));
    EXPECT_EQ(flashProcess.exitCode(), 130);
    EXPECT_TRUE(
        flashProcess.readAllStandardError().trimmed().endsWith("The update was interrupted."));
    // The port is free at once, and the next attempt goes through whole.
    EXPECT_EQ(flash({"--device", device.device(), file}).exitCode, 0);
}
