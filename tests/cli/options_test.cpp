// j4_flash's command line: what answers alone, names as bytes, usage
// errors, and files refused before anything is sent.

#include "flash_fixture.h"

TEST_F(FlashCli, TheProgramsAnswerAloneAndTheSimulatorKeepsOthersFiles) {
    const ProgramResult version = flash({"-V"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.toStdString(), std::string("j4_flash ") + j4::kVersion + "\n");
    EXPECT_EQ(flash({"--version", "--check", file}).exitCode, 2);

    // The simulator replaces only its own symbolic link: a file named by
    // mistake is left as it was.
    const QString precious = textFile("precious.txt", "keep me");
    const ProgramResult refused = runProgram(devsimPath(), {"--link", precious}, {}, 5000);
    EXPECT_EQ(refused.exitCode, 2);
    QFile kept(precious);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "keep me");
    EXPECT_EQ(runProgram(devsimPath(), {"-V", "--link", precious}).exitCode, 2);
    EXPECT_EQ(runProgram(devsimPath(), {"-V"}).out.toStdString(),
              std::string("j4_devsim ") + j4::kVersion + "\n");
    // Numbers that do not parse are usage errors, never taken as 0.
    for (const QStringList& bad :
         {QStringList{"--reject-prob", "abc"}, QStringList{"--reject-prob", "0.5x"},
          QStringList{"--reject-prob", "2"}, QStringList{"--seed", "x"}})
        EXPECT_EQ(runProgram(devsimPath(), bad + QStringList{"--link", dir.filePath("d")}, {}, 5000)
                      .exitCode,
                  2)
            << bad.join(' ').toStdString();
}

TEST_F(FlashCli, StandardInputAndNamesThatAreNotUtf8) {
    // "-" reads the file once from standard input, before any port opens.
    DevSim first;
    DevSim second;
    QFile update(file);
    ASSERT_TRUE(update.open(QIODevice::ReadOnly));
    const QByteArray text = update.readAll();
    QProcess piped;
    piped.start(flashPath(), {"-q", "--device", first.device(), "--device", second.device(), "-"});
    piped.write(text);
    piped.closeWriteChannel();
    ASSERT_TRUE(piped.waitForFinished(10000));
    EXPECT_EQ(piped.exitCode(), 0) << piped.readAllStandardError().toStdString();
    first.stop();
    second.stop();
    EXPECT_TRUE(first.capture() == image && second.capture() == image);
    QProcess checked;
    checked.start(flashPath(), {"--check", "-"});
    checked.write(text);
    checked.closeWriteChannel();
    ASSERT_TRUE(checked.waitForFinished(10000));
    EXPECT_EQ(checked.readAllStandardOutput().trimmed(), "-: 20 frames, 4040 bytes");

    // File, device and log names in Latin-1 reach the system as they are.
    const QByteArray folder = QFile::encodeName(dir.path());
    const QByteArray latin1File = folder + "/caf\xe9.j4u";
    const QByteArray latin1Device = folder + "/d\xe9vice";
    const QByteArray latin1Log = folder + "/l\xf6g";
    ASSERT_EQ(::link(QFile::encodeName(file).constData(), latin1File.constData()), 0);
    DevSim device;
    ASSERT_EQ(::symlink(QFile::encodeName(device.device()).constData(), latin1Device.constData()),
              0);
    // Run with the bytes themselves: QProcess would pass UTF-8.
    const std::string program = QFile::encodeName(flashPath()).toStdString();
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(program.c_str(), program.c_str(), "-q", "--log", latin1Log.constData(), "--device",
                latin1Device.constData(), latin1File.constData(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(::access(latin1Log.constData(), F_OK), 0) << "the log under its own name";
    device.stop();
    EXPECT_TRUE(device.capture() == image);
    for (const QByteArray& name : {latin1File, latin1Device, latin1Log})
        ::unlink(name.constData()); // names QTemporaryDir cannot spell
}

TEST_F(FlashCommand, TheSameDeviceTwiceAndOtherUsageErrorsSendNothing) {
    // Through a link and its target, and through a number and a path.
    const QString target = textFile("ttyFAKE", "");
    const QString link = dir.filePath("by-id-link");
    ASSERT_TRUE(QFile::link(target, link));
    qputenv("J4_PORTS", target.toUtf8());
    for (const QStringList& arguments : {QStringList{"--device", link, "--device", target, file},
                                         QStringList{"--port", "1", "--device", link, file}}) {
        const Ran r = run(arguments);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains("are the same device")) << r.err.toStdString();
    }
    qunsetenv("J4_PORTS");
    for (const QStringList& arguments :
         {QStringList{"--port", "1"}, QStringList{"--port", "0", file},
          QStringList{"--port", "0-3", file}, QStringList{"--port", "4-2", file},
          QStringList{"--port", "1-2-3", file},
          QStringList{"--image-out", "x", "--port", "1", file}, QStringList{"--bogus", file},
          QStringList{"--device", "/dev/null", "--timeout", "-5", file},
          // The version, the help and the list go alone: exit 0 would pass
          // for an update that was never made.
          QStringList{"-V", "--port", "1", file}, QStringList{"--version", "--check", file},
          QStringList{"--help", "--device", "/dev/fake", file},
          QStringList{"--list-ports", "--port", "1", file},
          // A station's line, and standard input wanted twice.
          QStringList{"--settle", "100", "--port", "1", file},
          QStringList{"--watch", "--port", "1", "--units", "-", "-"},
          QStringList{"--watch", "--port", "1", "--require-unit", file},
          QStringList{"--watch", "--port", "1", "--unit-rule", "J4-(", file}}) {
        EXPECT_EQ(run(arguments).exitCode, 2) << arguments.join(' ').toStdString();
    }
    for (const auto& [name, fake] : devices)
        EXPECT_TRUE(fake.writes.empty()) << name;
    const Ran version = run({"-V"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.toStdString(), std::string("j4_flash ") + j4::kVersion + "\n");
    const Ran help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--check") && help.out.contains("--list-ports"));
    for (const QString& line : help.out.split('\n')) // the first names the program as run
        EXPECT_TRUE(line.size() <= 80 || line.startsWith("Usage: ")) << line.toStdString();
    // Its own words for its own options; none of Qt's that it does not have.
    EXPECT_FALSE(help.out.contains("Displays") || help.out.contains("--help-all"))
        << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("  or:  j4_flash --watch --line NAME --records URI"));

    // Nothing at all: how to ask. Other flashers' habits: what to write instead.
    const Ran nothing = run({});
    EXPECT_EQ(nothing.exitCode, 2);
    EXPECT_TRUE(nothing.err.startsWith("Usage: ")) << nothing.err.toStdString();
    EXPECT_TRUE(nothing.err.contains("  or:  j4_flash --watch"));
    for (const auto& [arguments, hint] :
         {std::pair{QStringList{"--port", "/dev/ttyUSB0", file}, "use --device for a path"},
          std::pair{QStringList{"-p", "1", file}, "give --port N (a number) or --device PATH"},
          std::pair{QStringList{"-P", "/dev/ttyUSB0", file}, "or --device PATH"}}) {
        const Ran r = run(arguments);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains(QLatin1String(hint))) << r.err.toStdString();
    }
}

TEST_F(FlashCommand, RefusedFilesAreNeverSentAndChecksSayWhy) {
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
    device("/dev/fake");
    for (const Case& c : cases) {
        const Ran r = run({"--device", "/dev/fake", textFile("bad.j4u", c.text)});
        EXPECT_EQ(r.exitCode, 3) << c.lastLine;
        EXPECT_EQ(r.lastLine().toStdString(), error(c.lastLine));
        const Ran checked = run({"--check", textFile("bad.j4u", c.text)});
        EXPECT_EQ(checked.exitCode, 3);
        EXPECT_EQ(checked.lastLine().toStdString(), error(c.lastLine));
    }
    // A file that is not the released one, even a valid one; in a station too.
    const std::string sha =
        QCryptographicHash::hash(toUpdateText(image), QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    const std::string released(64, 'a');
    for (const QStringList& mode :
         {QStringList{"--device", "/dev/fake"}, QStringList{"--watch", "--device", "/dev/fake"}}) {
        const Ran pinned =
            run(mode + QStringList{"--expect-sha256", QString::fromStdString(released), file});
        EXPECT_EQ(pinned.exitCode, 3);
        EXPECT_EQ(pinned.lastLine().toStdString(),
                  error("Update file is not the expected one: its SHA-256 is " + sha +
                        ", expected " + released));
    }
    EXPECT_EQ(
        run({"--check", "--expect-sha256", QString::fromStdString(sha).toUpper(), file}).exitCode,
        0);
    EXPECT_EQ(run({"--check", "--expect-sha256", "abc", file}).exitCode, 2);
    EXPECT_TRUE(devices["/dev/fake"].openedDevices.empty()) << "no port is opened";

    // The reason comes on the line before the result.
    const QString missing = dir.filePath("missing.j4u");
    for (const QStringList& arguments :
         {QStringList{"--check", missing}, QStringList{"--device", "/dev/fake", missing}}) {
        const Ran gone = run(arguments);
        EXPECT_EQ(gone.exitCode, 3);
        EXPECT_EQ(
            gone.err.trimmed().toStdString(),
            ("j4_flash: " + missing + ": No such file or directory\nj4_flash: File open error!")
                .toStdString());
    }

    // A valid file: its frames and bytes, and the decoded image on request.
    const QString out = dir.filePath(QStringLiteral("image.bin"));
    const Ran checked = run({"--check", file, "--image-out", out});
    EXPECT_EQ(checked.exitCode, 0);
    EXPECT_EQ(checked.out.trimmed(), file + ": 20 frames, 4040 bytes");
    QFile written(out);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll() == image);
    const Ran full = run({"--check", file, "--image-out", "/dev/full"});
    EXPECT_EQ(full.exitCode, 2);
    EXPECT_EQ(full.lastLine().toStdString(),
              error("Cannot write /dev/full: No space left on device"));
}

TEST_F(FlashCommand, AStationsProfileSetsItUpAndItsBadLinesAreNamed) {
    const QString log = dir.filePath("profile.jsonl");
    const auto profile = [&](const QByteArray& settings) {
        return textFile("line.ini", "# line 3\n[station]\nfile = " + file.toUtf8() +
                                        "\nslots = /dev/null\n" + settings);
    };
    // Every line is checked before a slot watches, and a bad one is named.
    for (const auto& [settings, said] :
         {std::pair{QByteArray("settle = soon\n"), ":5: settle takes a number of milliseconds"},
          std::pair{QByteArray("speed = 9600\n"), ":5: \"speed\" is not a station setting"},
          std::pair{QByteArray("min-version = 2\n"), ":5: min-version takes a release version"},
          std::pair{QByteArray("require-unit = maybe\n"), ":5: require-unit takes yes or no"},
          std::pair{QByteArray("unit-rule = ^J4-(\n"), ":5: unit-rule is not a regular expression"},
          std::pair{QByteArray("log = a\nlog = b\n"), ":6: log is set twice"},
          std::pair{QByteArray("just words\n"), ":5: not a \"key = value\" line"},
          std::pair{QByteArray("[other]\n"), ":5: only a [station] section is read here"}}) {
        const Ran r = run({"--watch", "--profile", profile(settings)});
        EXPECT_EQ(r.exitCode, 2) << settings.toStdString();
        EXPECT_TRUE(r.err.contains(dir.filePath("line.ini") + said)) << r.err.toStdString();
    }
    // All of them, not only the first: one edit fixes the profile; every
    // key it takes is in the help (and so in the manual page).
    const Ran several = run({"--watch", "--profile", profile("settle = soon\nspeed = 9600\n")});
    const QString help = run({"--help"}).out.simplified();
    const QStringList known =
        several.err.section("is not a station setting (", 1).section(')', 0, 0).split(", ");
    EXPECT_GT(known.size(), 20);
    for (const QString& key : known)
        EXPECT_TRUE(help.contains(QRegularExpression("Profile:.*\\b" + key + "\\b")))
            << key.toStdString();
    EXPECT_TRUE(several.err.contains(dir.filePath("line.ini") + ":5: settle takes") &&
                several.err.contains(dir.filePath("line.ini") + ":6: \"speed\" is not"))
        << several.err.toStdString();
    EXPECT_EQ(run({"--profile", profile({}), "--port", "1", file}).exitCode, 2)
        << "a profile is a station's";
    EXPECT_TRUE(run({"--watch", "--profile", dir.filePath("none.ini")})
                    .err.contains("none.ini cannot be read"));
    // It names the command run as the station: nobody else may change it.
    const QString shared =
        textFile("shared.ini", "[station]\nfile = " + file.toUtf8() + "\nslots = /dev/null\n");
    QFile(shared).setPermissions(QFile(shared).permissions() | QFile::WriteGroup);
    const Ran writable = run({"--watch", "--profile", shared});
    EXPECT_EQ(writable.exitCode, 2);
    EXPECT_TRUE(writable.err.contains("the profile " + shared +
                                      " is not used: other users can write it: run chmod go-w " +
                                      shared))
        << writable.err.toStdString();

    // What the station cannot write is said at its start, not at a
    // shift's first attempt.
    device("/dev/null");
    const QString counts = dir.filePath("line.prom");
    std::thread stopWhenCounted([&] {
        QElapsedTimer clock;
        clock.start();
        const auto counted = [&] {
            QFile metrics(counts);
            return metrics.open(QIODevice::ReadOnly) &&
                   metrics.readAll().contains("result=\"completed\"} 1");
        };
        while (!counted() && clock.elapsed() < 30000)
            QThread::msleep(10);
        stop = true;
    });
    const Ran unwritable = run({"--watch", "--metrics", counts, "--profile",
                                profile("log = /nonexistent/dir/line.jsonl\n")});
    stopWhenCounted.join();
    stop = false;
    EXPECT_TRUE(unwritable.err.contains("The update log /nonexistent/dir/line.jsonl cannot be "
                                        "written (No such file or directory)"))
        << unwritable.err.toStdString();

    // A good one runs the station as the command line would (a comment
    // after a value is a comment, as the example's are; a relative path is
    // the profile folder's, wherever the station starts); what the command
    // line gives itself overrides it.
    device("/dev/null");
    std::thread stopWhenLogged([&] {
        QElapsedTimer clock;
        clock.start();
        while (!QFileInfo(log).size() && clock.elapsed() < 30000)
            QThread::msleep(10);
        stop = true;
    });
    const Ran r =
        run({"--watch", "--station-id", "line-10", "--profile",
             profile("log = " + QFileInfo(log).fileName().toUtf8() +
                     "\nstation-id = line-3\ntimeout = 500   # a silent device's wait\n")});
    stopWhenLogged.join();
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString() << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("slot 1 (/dev/null): 1 completed, 0 failed")) << r.out.toStdString();
    QFile written(log);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QJsonObject record = QJsonDocument::fromJson(written.readLine()).object();
    EXPECT_EQ(record["station"].toString(), "line-10");
    EXPECT_EQ(record["slot"].toInt(), 1);
    EXPECT_EQ(record["outcome"].toString(), "completed");
}
