// j4_flash updating devices: each outcome and its exit status, ports it
// must refuse, stops, several devices at once.

#include "flash_fixture.h"

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
        const ProgramResult r =
            flash({"--device", device.device(), "--timeout", "300", "-q", file});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.lastLine << '\n' << r.err.toStdString();
        EXPECT_EQ(r.lastLine().toStdString(), c.exitCode == 0 ? c.lastLine : error(c.lastLine));
        if (c.exitCode == 0) {
            EXPECT_TRUE(device.capture() == image);
            EXPECT_TRUE(r.err.isEmpty()) << "-q: nothing but the result";
        }
    }
}

TEST_F(FlashCli, HeldOrForbiddenPortsAreRefused) {
    DevSim device;
    j4::TtyLink holder;
    ASSERT_EQ(holder.open(device.device().toStdString()), j4::LinkError::None);
    const ProgramResult r = flash({"--device", device.device(), file});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.lastLine().toStdString(), error("The serial port is in use by another program."));
    holder.close();

    // A real ser2net serving the device by a link of its own: while a client
    // is connected it holds the port, under a lock named after that link (or
    // none), and the device by its own name is refused before a byte is sent.
    const QString served = dir.filePath("by-path-link");
    ASSERT_TRUE(QFile::link(device.device(), served));
    {
        Ser2Net server(served);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server.port()));
        ASSERT_TRUE(client.waitForConnected(10000));
        QElapsedTimer clock;
        clock.start();
        j4::TtyLink probe;
        while (probe.open(device.device().toStdString()) == j4::LinkError::None &&
               clock.elapsed() < 20000) {
            probe.close();
            QThread::msleep(20);
        }
        const QString pty = QFileInfo(device.device()).symLinkTarget();
        const ProgramResult held = flash({"--device", pty, file});
        EXPECT_EQ(held.exitCode, 4) << held.err.toStdString();
        EXPECT_TRUE(held.err.contains("The serial port is in use by ser2net (PID "))
            << held.err.toStdString();
    }
    EXPECT_TRUE(device.capture().isEmpty()) << "nothing reached the device";
    if (::geteuid() != 0)
        GTEST_SKIP() << "a port root may not open needs root to set up";
    // A port the user may not open: the detail says what to do.
    const QString pty = QFileInfo(device.device()).symLinkTarget();
    ASSERT_EQ(::chmod(QFile::encodeName(pty).constData(), 0600), 0);
    const ProgramResult refused = runProgram(
        QStringLiteral("bash"),
        {"-c",
         "setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" --device \"$1\" - <\"$2\"",
         flashPath(), pty, file});
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_EQ(refused.lastLine().toStdString(), error("Permission denied for the serial port."));
    EXPECT_TRUE(refused.err.contains("'dialout' group")) << refused.err.toStdString();
}

TEST_F(FlashCli, AnAdapterThatStillDelaysAnswersIsNamedOnStandardError) {
    DevSim device;
    const QString pty = QFileInfo(device.device()).symLinkTarget();
    const QString tty = QFileInfo(pty).fileName();
    // A sysfs of its own in which the device's pseudo-terminal is a USB
    // adapter whose latency timer may not be changed.
    QTemporaryDir sysfs;
    const QString folder = sysfs.filePath(QStringLiteral("bus/usb-serial/devices/") + tty);
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile timer(folder + QStringLiteral("/latency_timer"));
    ASSERT_TRUE(timer.open(QIODevice::WriteOnly));
    timer.write("16\n");
    timer.close();
    timer.setPermissions(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);

    // Root may write to any file, so the program runs as an ordinary user,
    // from a copy that user can reach, on a port and files it may open.
    const auto openToAll = [](const QString& path, mode_t mode) {
        ::chmod(QFile::encodeName(path).constData(), mode);
    };
    for (QString d = folder; d.startsWith(sysfs.path()); d = QFileInfo(d).path())
        openToAll(d, 0755);
    openToAll(dir.path(), 0755);
    openToAll(file, 0644);
    const QString program = dir.filePath(QStringLiteral("j4_flash"));
    ASSERT_TRUE(QFile::copy(flashPath(), program));
    QString runner = program;
    QStringList arguments{"--device", pty, "-q", file};
    if (::geteuid() == 0) {
        openToAll(pty, 0666);
        runner = QStringLiteral("setpriv");
        arguments =
            QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program} + arguments;
    }
    const ProgramResult r = runProgram(runner, arguments, {"SYSFS_PATH=" + sysfs.path()});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.err.trimmed().toStdString(),
              ("j4_flash: " + pty + ": The USB adapter " + tty +
               " keeps its latency timer at 16 ms and it could not be lowered: answers may be "
               "delayed up to 16 ms each.")
                  .toStdString());
    EXPECT_EQ(r.out.trimmed().toStdString(), "Update is completed.");
    EXPECT_TRUE(device.capture() == image);
    ASSERT_TRUE(timer.open(QIODevice::ReadOnly));
    EXPECT_EQ(timer.readAll(), "16\n");
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
        // A slow device: its own answer to the last frame comes after a
        // fixed guard would have ended.
        {{"--delay-us", "100000", "--stray", "0x11@1", "--stray-delay-us", "1000", "--reject",
          "20"},
         false},
    };
    for (const Case& c : cases) {
        DevSim device(c.device);
        const ProgramResult r = flash({"--device", device.device(), "-q", file});
        const std::string what = c.device.join(' ').toStdString();
        EXPECT_EQ(r.exitCode, 6) << what << '\n' << r.err.toStdString();
        EXPECT_EQ(r.lastLine().toStdString(), error("Communication error.")) << what;
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

TEST_F(FlashCli, EveryStopRequestClosesThePortCleanly) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM}) {
        DevSim device({"--delay-us", "100000"}); // 20 frames take 2 s
        QProcess flashProcess;
        flashProcess.start(flashPath(), {"--device", device.device(), file});
        ASSERT_TRUE(flashProcess.waitForStarted());
        // Mid-transfer: once the device holds a frame, however busy the machine.
        QElapsedTimer waited;
        waited.start();
        while (device.capture().isEmpty() && waited.elapsed() < 30000)
            QThread::msleep(10);
        ::kill(static_cast<pid_t>(flashProcess.processId()), signal);
        ASSERT_TRUE(flashProcess.waitForFinished(30000));
        EXPECT_EQ(flashProcess.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(flashProcess.exitCode(), 130) << signal;
        const QString err = QString::fromLocal8Bit(flashProcess.readAllStandardError());
        EXPECT_TRUE(err.trimmed().endsWith("The update was interrupted.")) << err.toStdString();
        EXPECT_TRUE(err.contains("bytes were accepted.")) << "says how far it got";
        // The port is free at once, and the next attempt goes through whole.
        EXPECT_EQ(flash({"--device", device.device(), file}).exitCode, 0);
    }
    // Standard error closed by its reader (| head -c1): the update goes on.
    DevSim device;
    const ProgramResult piped =
        runProgram(QStringLiteral("bash"),
                   {"-c",
                    "\"$0\" --device \"$1\" \"$2\" 2>&1 >/dev/null | head -c1 >/dev/null; "
                    "echo ${PIPESTATUS[0]}",
                    flashPath(), device.device(), file});
    EXPECT_EQ(piped.out.trimmed().toStdString(), "0");
    device.stop();
    EXPECT_TRUE(device.capture() == image);
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
        // Stopped once it waits on the FIFO (its handlers are in place by
        // then), however long a busy machine takes to get there.
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(flashProcess.processId()));
        const auto reading = [&] {
            for (const QFileInfo& entry : descriptors.entryInfoList(QDir::Files | QDir::System))
                if (entry.symLinkTarget() == fifo)
                    return true;
            return false;
        };
        QElapsedTimer waited;
        waited.start();
        while (!reading() && waited.elapsed() < 30000)
            QThread::msleep(10);
        ::kill(static_cast<pid_t>(flashProcess.processId()), SIGTERM);
        ASSERT_TRUE(flashProcess.waitForFinished(30000));
        EXPECT_EQ(flashProcess.exitCode(), 130) << arguments.join(' ').toStdString();
        EXPECT_EQ(QString::fromLocal8Bit(flashProcess.readAllStandardError()).trimmed(),
                  "j4_flash: The update was interrupted.");
    }
}

TEST_F(FlashCommand, SeveralDevicesAtOnceEachEndOnTheirOwn) {
    // Port 1 completes, port 2 rejects four times, the device by path stays
    // silent: the first failure in the order given sets the exit status.
    device("/dev/fake-first");
    auto& rejecting = device("/dev/fake-rejecting", 2);
    for (int i = 0; i < 4; ++i)
        rejecting.answer(j4::kRejectByte);
    qputenv("J4_PORTS", "/dev/fake-first:/dev/fake-rejecting");
    const Ran r =
        run({"--port", "1-2", "--device", "/dev/fake-silent", "--timeout", "500", "-q", file});
    qunsetenv("J4_PORTS");
    EXPECT_EQ(r.exitCode, 7) << r.out.toStdString() << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 5) << r.out.toStdString();
    EXPECT_EQ(lines[0], "Summary:");
    EXPECT_TRUE(lines[1].contains("port 1") && lines[1].contains("/dev/fake-first") &&
                lines[1].contains("Update is completed.") && lines[1].contains("4040 of 4040"));
    EXPECT_TRUE(lines.filter("port 2").first().contains("CRC error. File damaged."));
    EXPECT_TRUE(lines.filter("/dev/fake-silent").first().contains("No answer"));
    EXPECT_EQ(lines.last(), "2 of 3 devices failed: /dev/fake-rejecting, /dev/fake-silent");
    EXPECT_TRUE(sentTo(devices["/dev/fake-first"]) == image);
    EXPECT_TRUE(r.err.isEmpty()) << "a failure is said once, in the summary: "
                                 << r.err.toStdString();
    // A port with no device behind it was sent nothing, and says so.
    devices["/dev/fake-missing"].failOpen(j4::LinkError::PortNotFound);
    const Ran missing = run({"--device", "/dev/fake-missing", "--device", "/dev/fake-first", file});
    EXPECT_TRUE(missing.out.contains("The serial port does not exist.  nothing sent"))
        << missing.out.toStdString();
    // Without a terminal, a failure is said once: its progress line says
    // only that it failed.
    EXPECT_EQ(missing.err.count("The serial port does not exist."), 0) << missing.err.toStdString();
    EXPECT_TRUE(missing.err.contains("/dev/fake-missing: 0% failed")) << missing.err.toStdString();

    // All completed: exit 0. Mixed --device and --port keep their order.
    device("/dev/fake-a");
    device("/dev/fake-b");
    qputenv("J4_PORTS", "/dev/fake-b");
    const Ran ok = run({"--device", "/dev/fake-a", "--port", "1", "-q", file});
    qunsetenv("J4_PORTS");
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_TRUE(ok.out.contains("All 2 devices completed."));
    EXPECT_LT(ok.out.indexOf("/dev/fake-a"), ok.out.indexOf("/dev/fake-b"));
}
