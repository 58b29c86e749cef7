// What j4_flash shows while it works, and the log it keeps.

#include "flash_fixture.h"

#include <QUuid>

#include "log_writer.h"

#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

TEST_F(FlashCli, ProgressOnATerminalFitsItsWidth) {
    // On a 60-column terminal, three long by-id names: every row fits, its
    // name shortened from the left, so the board can redraw in place.
    // COLUMNS, where the user sets it, wins; TERM=dumb gets plain lines.
    std::vector<std::unique_ptr<DevSim>> devices;
    QStringList arguments;
    for (const char* serial : {"A10K1XYZ", "A10K2XYZ", "A10K3XYZ"}) {
        devices.push_back(std::make_unique<DevSim>(QStringList{"--delay-us", "5000"}));
        const QString name = dir.filePath(
            QStringLiteral("usb-FTDI_FT232R_USB_UART_%1-if00-port0").arg(QLatin1String(serial)));
        ASSERT_TRUE(QFile::link(devices.back()->device(), name));
        arguments << "--device" << name;
    }
    arguments << file;
    const auto onTerminal = [&](const QString& term, const QString& columns) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const winsize size{24, 60, 0, 0};
        EXPECT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TERM", term);
        environment.remove("COLUMNS");
        if (!columns.isEmpty())
            environment.insert("COLUMNS", columns);
        program.setProcessEnvironment(environment);
        program.setStandardErrorFile(QString::fromLocal8Bit(::ptsname(master)));
        program.start(flashPath(), arguments);
        QByteArray drawn;
        while (!program.waitForFinished(20)) {
            pollfd p{master, POLLIN, 0};
            char chunk[4096];
            while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN))
                drawn.append(chunk, ::read(master, chunk, sizeof chunk));
        }
        ::close(master);
        EXPECT_EQ(program.exitCode(), 0);
        return QString::fromLatin1(drawn);
    };
    for (const auto& [columns, width] : {std::pair{QString(), 60}, std::pair{QString("44"), 44}}) {
        const QString drawn = onTerminal("xterm", columns);
        const QStringList rows =
            drawn.split(QRegularExpression("[\r\n]|\x1b\\[K|\x1b\\[\\d+A"), Qt::SkipEmptyParts);
        ASSERT_FALSE(rows.isEmpty());
        for (const QString& row : rows)
            EXPECT_LT(row.size(), width) << row.toStdString();
        EXPECT_FALSE(rows.filter(QRegularExpression("^\\.\\.\\.\\S*port0 \\[")).isEmpty())
            << "the end of the name is kept";
        EXPECT_TRUE(rows.first().endsWith("--:-- left"))
            << "no rate yet: " << rows.first().toStdString();
    }
    const QString dumb = onTerminal("dumb", {});
    EXPECT_FALSE(dumb.contains('\x1b')) << dumb.toStdString();
    EXPECT_TRUE(dumb.contains("-if00-port0: sending 4040 bytes")) << dumb.toStdString();
}

TEST_F(FlashCommand, EveryAttemptIsLoggedAsOneJsonLine) {
    device("/dev/fake-good", 200);
    auto& bad = devices["/dev/fake-bad"];
    for (int i = 0; i < 4; ++i)
        bad.answer(j4::kRejectByte);
    const QString log = dir.filePath(QStringLiteral("updates.jsonl"));
    EXPECT_EQ(run({"--device", "/dev/fake-good", "--device", "/dev/fake-bad", "--log", log,
                   "--station-id", "line 3 'A'", "--operator", "o'brien", "-q", file})
                  .exitCode,
              7);
    // The environment variable does the same, appending; a refused file is
    // logged for its device too.
    qputenv("J4_UPDATE_LOG", log.toUtf8());
    EXPECT_EQ(run({"--device", "/dev/fake-good", "-q", file}).exitCode, 0);
    // A service has no USER: the account's own name is the operator.
    const QByteArray user = qgetenv("USER");
    qunsetenv("USER");
    EXPECT_EQ(run({"--device", "/dev/fake-good", "-q", textFile("bad.j4u", "00 03")}).exitCode, 3);
    if (!user.isNull())
        qputenv("USER", user);
    qunsetenv("J4_UPDATE_LOG");
    QFile written(log);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_EQ(lines.size(), 5) << "four lines and the final line end";
    QCryptographicHash sha(QCryptographicHash::Sha256);
    QFile update(file);
    update.open(QIODevice::ReadOnly);
    sha.addData(update.readAll());
    QSet<QString> outcomes;
    QSet<QString> attempts;
    for (int i = 0; i < 4; ++i) {
        // Who, where and what: a unique ID per attempt, the station and the
        // operator as given (else the host and the login), no unit yet.
        const QJsonObject entry = QJsonDocument::fromJson(lines[i]).object();
        attempts << entry["attempt"].toString();
        EXPECT_EQ(QUuid::fromString(entry["attempt"].toString()).isNull(), false);
        EXPECT_EQ(entry["station"].toString(),
                  i < 2 ? QStringLiteral("line 3 'A'") : entry["host"].toString());
        const QString account = QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name);
        EXPECT_EQ(entry["operator"].toString(), i < 2    ? QStringLiteral("o'brien")
                                                : i == 2 ? qEnvironmentVariable("USER", account)
                                                         : account);
        EXPECT_TRUE(entry["unit"].isNull());
    }
    EXPECT_EQ(attempts.size(), 4);
    for (int i = 0; i < 3; ++i) {
        QJsonParseError parseError{};
        const QJsonObject entry = QJsonDocument::fromJson(lines[i], &parseError).object();
        ASSERT_EQ(parseError.error, QJsonParseError::NoError) << lines[i].toStdString();
        outcomes << entry["outcome"].toString();
        EXPECT_EQ(entry["version"].toString(), QString::fromLatin1(j4::kVersion));
        EXPECT_EQ(entry["file"].toString(), file);
        EXPECT_EQ(entry["file_sha256"].toString(), QString::fromLatin1(sha.result().toHex()));
        EXPECT_EQ(entry["image_bytes"].toInt(), 4040);
        EXPECT_EQ(entry["frames"].toInt(), 20);
        EXPECT_TRUE(entry["port_number"].isNull());
        EXPECT_TRUE(entry["start"].toString().endsWith('Z'));
        EXPECT_FALSE(entry["host"].toString().isEmpty());
        for (const char* key : {"end", "device", "text", "detail", "bytes_accepted",
                                "transmissions", "rejects", "duration_ms", "adapter"})
            EXPECT_TRUE(entry.contains(key)) << key;
    }
    EXPECT_EQ(outcomes, (QSet<QString>{"completed", "rejected_four_times"}));
    EXPECT_EQ(QJsonDocument::fromJson(lines[3]).object()["outcome"].toString(), "file_refused");

    // A log that cannot be written fails nothing, and each attempt it could
    // not take is said, and said lost at the end; a FIFO without a reader
    // is no log and holds nothing up.
    const QString fifo = dir.filePath(QStringLiteral("log.fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    device("/dev/fake-2");
    const QString metrics = dir.filePath(QStringLiteral("line.prom"));
    for (const QString& unwritable : {QStringLiteral("/nonexistent/dir/log"), fifo}) {
        const Ran r = run({"--device", "/dev/fake-good", "--device", "/dev/fake-2", "--log",
                           unwritable, "--metrics", metrics, "-q", file});
        EXPECT_EQ(r.exitCode, 0) << unwritable.toStdString();
        QFile counted(metrics);
        ASSERT_TRUE(counted.open(QIODevice::ReadOnly));
        EXPECT_TRUE(QRegularExpression("\nj4_log_unwritten_attempts\\{[^}]*\\} 2\n")
                        .match(QString::fromUtf8(counted.readAll()))
                        .hasMatch());
        EXPECT_EQ(r.err.count("cannot be written"), 2) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("2 of the attempts could not be written to " + unwritable))
            << r.err.toStdString();
    }

    // A full disk: a record cut short leaves no half line to glue the next
    // to; what the log could not take is kept and written, in order, once
    // there is room again.
    QTemporaryDir small;
    const QByteArray mountPoint = QFile::encodeName(small.path());
    if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=32k") == 0) {
        // Unmounted however the check ends, once the log's writer (made
        // after it, so ended first) has let the file go.
        struct Unmount {
            QByteArray at;
            ~Unmount() {
                if (::umount(at.constData()) != 0)
                    ::umount2(at.constData(), MNT_DETACH);
            }
        } unmount{mountPoint};
        const QString full = small.filePath(QStringLiteral("station.jsonl"));
        j4::runs::LogWriter writer(QFile::encodeName(full).toStdString(), "line-7", "anna");
        j4::runs::AttemptReport report;
        report.filePath = "unit.j4u";
        const auto attempt = [&](int n) {
            report.attempt = QStringLiteral("00000000-0000-4000-8000-0000000000%1")
                                 .arg(n, 2, 10, QLatin1Char('0'))
                                 .toStdString();
            return writer.append(report);
        };
        EXPECT_FALSE(attempt(1));
        {
            QFile filler(small.filePath(QStringLiteral("filler")));
            ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
            while (filler.write(QByteArray(512, 'x')) == 512 && filler.flush()) {
            }
        }
        // The log's last page fills, and an attempt is cut short.
        int n = 2;
        while (n < 30 && !attempt(n))
            ++n;
        ASSERT_LT(n, 30);
        const auto again = attempt(++n);
        ASSERT_TRUE(again);
        EXPECT_TRUE(again->find("cannot be written") != std::string::npos) << *again;
        QFile::remove(small.filePath(QStringLiteral("filler")));
        const auto back = attempt(++n);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, "The update log " + QFile::encodeName(full).toStdString() +
                             " is written again: the 3 attempts that waited are in it.");
        QFile written(full);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        QStringList attempts;
        for (const QByteArray& line : written.readAll().split('\n'))
            if (!line.isEmpty())
                attempts << QJsonDocument::fromJson(line).object()["attempt"].toString().mid(34);
        QStringList expected;
        for (int i = 1; i <= n; ++i)
            expected << QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
        EXPECT_EQ(attempts, expected);
    }

    // A log that is standard output itself: its line and the result line
    // follow each other in the file, neither overwriting the other.
    DevSim real;
    const QString out = dir.filePath(QStringLiteral("out.json"));
    const ProgramResult both =
        runProgram("bash", {"-c", "\"$0\" --device \"$1\" --log /dev/stdout \"$2\" >\"$3\"",
                            flashPath(), real.device(), file, out});
    EXPECT_EQ(both.exitCode, 0) << both.err.toStdString();
    QFile shared(out);
    ASSERT_TRUE(shared.open(QIODevice::ReadOnly));
    const QList<QByteArray> sharedLines = shared.readAll().split('\n');
    ASSERT_EQ(sharedLines.size(), 3) << "the log line, the result, the final line end";
    EXPECT_EQ(QJsonDocument::fromJson(sharedLines[0]).object()["outcome"].toString(), "completed");
    EXPECT_EQ(sharedLines[1], "Update is completed.");
}

TEST_F(FlashCommand, ProgressLinesAndATraceWithVerbose) {
    device("/dev/fake");
    const Ran r = run({"--device", "/dev/fake", "--verbose", file});
    EXPECT_EQ(r.exitCode, 0);
    const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
    const QString prefix = "/dev/fake: ";
    EXPECT_EQ(lines.filter(QRegularExpression("^" + QRegularExpression::escape(prefix) + "\\d+%$"))
                  .size(),
              9)
        << "10 % to 90 %";
    EXPECT_TRUE(lines.contains(prefix + "sending 4040 bytes"));
    EXPECT_TRUE(lines.contains(prefix + "100% Update is completed."));
    const QStringList trace = lines.filter(QRegularExpression("frame \\d+ offset"));
    ASSERT_EQ(trace.size(), 20);
    EXPECT_TRUE(trace[1].startsWith(prefix + "frame 2 offset 202 size 202 answer 0x11 rejects 0 "))
        << trace[1].toStdString();
    EXPECT_TRUE(trace[1].endsWith(" ms"));
    // -q keeps the trace and drops the progress; -v is --verbose.
    device("/dev/fake");
    const Ran quiet = run({"--device", "/dev/fake", "-v", "-q", file});
    EXPECT_EQ(quiet.err.split('\n', Qt::SkipEmptyParts).size(), 20);
}

TEST_F(FlashCli, JsonEventsAndTheLogOnStandardOutputForPrograms) {
    // --json: one object a line on standard output, each with the schema,
    // its event and the time; the lines for people on standard error.
    const auto events = [](const QString& out) {
        std::vector<QJsonObject> list;
        for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
            EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
            const QJsonObject event = document.object();
            EXPECT_EQ(event["schema"].toInt(), 1) << line.toStdString();
            EXPECT_TRUE(event["time"].toString().endsWith('Z')) << line.toStdString();
            list.push_back(event);
        }
        return list;
    };
    DevSim device({"--delay-us", "8000"}); // 20 frames: a transfer of some 200 ms and more
    const ProgramResult updated = flash({"--json", "--device", device.device(), file});
    EXPECT_EQ(updated.exitCode, 0);
    EXPECT_TRUE(updated.err.contains("Update is completed.")) << updated.err.toStdString();
    const auto sent = events(updated.out);
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent.front()["event"].toString(), "started");
    EXPECT_EQ(sent.front()["target"].toString(), device.device());
    EXPECT_EQ(sent.back()["event"].toString(), "summary");
    EXPECT_EQ(sent.back()["completed"].toInt(), 1);
    const QJsonObject result = sent[sent.size() - 2];
    EXPECT_EQ(result["event"].toString(), "result");
    EXPECT_EQ(result["outcome"].toString(), "completed");
    EXPECT_EQ(result["exit_status"].toInt(), 0);
    EXPECT_EQ(result["bytes_accepted"].toInt(), image.size());
    // Who and where, as the log has them.
    EXPECT_EQ(result["station"].toString(), QSysInfo::machineHostName());
    EXPECT_FALSE(result["operator"].toString().isEmpty());
    const QDateTime first =
        QDateTime::fromString(sent.front()["time"].toString(), Qt::ISODateWithMs);
    const QDateTime last = QDateTime::fromString(result["time"].toString(), Qt::ISODateWithMs);
    const auto progress = std::count_if(sent.begin(), sent.end(), [](const QJsonObject& e) {
        return e["event"].toString() == "progress";
    });
    EXPECT_GE(progress, 2);
    EXPECT_LE(progress, first.msecsTo(last) * 4 / 1000 + 2) << "at most four a second";
    EXPECT_EQ(std::find_if(sent.begin(), sent.end(),
                           [](const QJsonObject& e) { return e["event"].toString() == "progress"; })
                  ->value("index")
                  .toInt(),
              0);

    const auto checked = events(flash({"--json", "--check", file}).out);
    ASSERT_EQ(checked.size(), 1u);
    EXPECT_EQ(checked[0]["event"].toString(), "check");
    EXPECT_EQ(checked[0]["bytes"].toInt(), image.size());
    EXPECT_EQ(checked[0]["exit_status"].toInt(), 0);
    const auto listed =
        events(flash({"--json", "--list-ports"}, {"J4_PORTS=" + device.device()}).out);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0]["device"].toString(), device.device());
    EXPECT_EQ(listed[0]["number"].toInt(), 1);
    EXPECT_EQ(listed[1]["ports"].toInt(), 1);

    // --log -: the log's lines are standard output, the result on standard
    // error; standard output has one reader.
    const ProgramResult logged =
        flash({"--log", "-", "--quiet", "--device", device.device(), file});
    EXPECT_EQ(logged.exitCode, 0);
    EXPECT_EQ(QJsonDocument::fromJson(logged.out.toUtf8()).object()["outcome"].toString(),
              "completed")
        << logged.out.toStdString();
    EXPECT_TRUE(logged.err.contains("Update is completed."));
    for (const QStringList& both :
         {QStringList{"--log", "-", "--json"},
          QStringList{"--log", "-", "--records", "postgresql://station@db/j4"},
          QStringList{"--json", "--list-ports", "--ports-file"}}) {
        const ProgramResult refused = flash(both + QStringList{"--device", device.device(), file});
        EXPECT_EQ(refused.exitCode, 2) << both.join(' ').toStdString();
    }
}
