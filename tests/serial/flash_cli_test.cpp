// j4_flash end to end: the real program, the real port, the simulated device.

#include "j4_version.h"
#include "processes.h"
#include "qt_serial_link.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <QRegularExpression>

#include <csignal>
#include <sys/stat.h>

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
    ASSERT_EQ(holder.open(device.device().toStdString()), j4::LinkError::None);
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
         "Update file is damaged: unexpected character 'Z' at line 3, column 7."},
        {":10000000", "Update file is damaged: unexpected character ':' at line 1, column 1."},
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

    // The reason comes on the line before the result.
    const QString missing = dir.filePath("missing.j4u");
    for (const QStringList& arguments :
         {QStringList{"--check", missing}, QStringList{"--device", device.device(), missing}}) {
        const ProgramResult gone = flash(arguments);
        EXPECT_EQ(gone.exitCode, 3);
        EXPECT_EQ(gone.err.trimmed().toStdString(),
                  (missing + ": No such file or directory\nFile open error!").toStdString());
    }
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

TEST_F(FlashCli, AnImageThatCannotBeWrittenIsAnError) {
    const ProgramResult r = flash({"--check", file, "--image-out", "/dev/full"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.lastLine().toStdString(), "Cannot write /dev/full: No space left on device");
}

TEST_F(FlashCli, AnswersOutOfStepAreNeverTakenForSuccess) {
    // The byte too many comes with an answer (caught before the next frame),
    // or 20 ms later, while the next answer is awaited (caught at the latest
    // by the guard after the last frame).
    struct Case {
        QStringList device;
        bool sameGulp;
    };
    const Case cases[] = {
        {{"--stray", "0x11@1", "--reject", "2", "--stray-delay-us", "0"}, true},
        {{"--stray", "0x22@1", "--stray-delay-us", "0"}, true},
        {{"--stray", "0x55,0x66,0x77@3", "--stray-delay-us", "0"}, true},
        {{"--stray", "0x11@1", "--reject", "2"}, false},
        {{"--stray", "0x22@1"}, false},
        {{"--stray", "0x11@20"}, false},
    };
    for (const Case& c : cases) {
        DevSim device(c.device);
        const ProgramResult r = flash({"--device", device.device(), "-q", file});
        const std::string what = c.device.join(' ').toStdString();
        EXPECT_EQ(r.exitCode, 6) << what << '\n' << r.err.toStdString();
        EXPECT_EQ(r.lastLine().toStdString(), "Communication error.") << what;
        EXPECT_TRUE(r.err.contains("answer no frame") || r.err.contains("answers no frame"))
            << r.err.toStdString();
        if (c.sameGulp) {
            // Caught before anything more was sent: the device holds exactly
            // what the host says was accepted.
            const QRegularExpression accepted(QStringLiteral("(\\d+) of \\d+ bytes were accepted"));
            const auto match = accepted.match(r.err);
            ASSERT_TRUE(match.hasMatch()) << r.err.toStdString();
            device.stop();
            EXPECT_TRUE(device.capture() == image.left(match.captured(1).toInt())) << what;
        }
    }
}

TEST_F(FlashCli, BareDeviceNamesMeanTheDeviceFolder) {
    DevSim device;
    const QString name =
        QDir(QStringLiteral("/dev")).relativeFilePath(QFileInfo(device.device()).symLinkTarget());
    EXPECT_EQ(flash({"--device", name, "-q", file}).exitCode, 0) << name.toStdString();
}

TEST_F(FlashCli, UsageErrors) {
    for (const QStringList& arguments :
         {QStringList{}, QStringList{"--port", "1"}, QStringList{"--port", "0", file},
          QStringList{"--port", "1", "--device", "/dev/null", file},
          QStringList{"--image-out", "x", "--port", "1", file}, QStringList{"--bogus", file},
          QStringList{"--device", "/dev/null", "--timeout", "-5", file}}) {
        EXPECT_EQ(flash(arguments).exitCode, 2) << arguments.join(' ').toStdString();
    }
    const ProgramResult version = flash({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.toStdString(), std::string("j4_flash ") + j4::kVersion + "\n");
    const ProgramResult help = flash({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--check") && help.out.contains("--list-ports"));
}

TEST_F(FlashCli, EveryStopRequestClosesThePortCleanly) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        DevSim device({"--delay-us", "20000"}); // 20 frames take 0.4 s
        QProcess flashProcess;
        flashProcess.start(flashPath(), {"--device", device.device(), file});
        ASSERT_TRUE(flashProcess.waitForStarted());
        QThread::msleep(150);
        ::kill(static_cast<pid_t>(flashProcess.processId()), signal);
        ASSERT_TRUE(flashProcess.waitForFinished(5000));
        EXPECT_EQ(flashProcess.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(flashProcess.exitCode(), 130) << signal;
        const QString err = QString::fromLocal8Bit(flashProcess.readAllStandardError());
        EXPECT_TRUE(err.trimmed().endsWith("The update was interrupted.")) << err.toStdString();
        EXPECT_TRUE(err.contains("bytes were accepted.")) << "says how far it got";
        // The port is free at once, and the next attempt goes through whole.
        EXPECT_EQ(flash({"--device", device.device(), file}).exitCode, 0);
    }
}

TEST_F(FlashCli, AStopWhileTheFileIsBeingReadIsAnInterruption) {
    // A FIFO nobody writes to: reading it waits until the signal comes.
    const QString fifo = dir.filePath(QStringLiteral("slow.j4u"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    DevSim device;
    for (const QStringList& arguments :
         {QStringList{"--check", fifo}, QStringList{"--device", device.device(), fifo}}) {
        QProcess flashProcess;
        flashProcess.start(flashPath(), arguments);
        ASSERT_TRUE(flashProcess.waitForStarted());
        QThread::msleep(300);
        ::kill(static_cast<pid_t>(flashProcess.processId()), SIGTERM);
        ASSERT_TRUE(flashProcess.waitForFinished(5000));
        EXPECT_EQ(flashProcess.exitCode(), 130) << arguments.join(' ').toStdString();
    }
}
