// j4_flash --watch: a station updating each device plugged in, once.

#include "flash_fixture.h"

#include <sys/stat.h>

TEST_F(FlashCommand, AStopDuringAStationsOpenRetriesKeepsTheFailure) {
    // The port is held: the station tries its open again for a moment, and
    // a stop meanwhile ends the station with the failure that happened.
    devices["/dev/null"].failOpen(j4::LinkError::PortBusy);
    int links = 0;
    onLink = [&](const std::string&) {
        if (++links == 2)
            stop = true;
    };
    const Ran r = run({"--watch", "--device", "/dev/null", file});
    EXPECT_EQ(r.exitCode, 4) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("The serial port is in use by another program."))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("0 completed, 1 failed")) << r.out.toStdString();
}

namespace {

// What a scrape of `url` returns (over loopback), once it answers.
QByteArray scrape(const QString& host, int port) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        QTcpSocket socket;
        socket.connectToHost(host, static_cast<quint16>(port));
        if (socket.waitForConnected(1000)) {
            socket.write("GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n");
            QByteArray answer;
            while (socket.waitForReadyRead(5000))
                answer += socket.readAll();
            if (answer.startsWith("HTTP/1.0 200") || answer.startsWith("HTTP/1.1 200"))
                return answer;
        }
        QThread::msleep(100);
    }
    return {};
}

// The station's metrics: what it counted, accepted by promtool, and served
// by a real node exporter's textfile collector.
void expectMetrics(const QString& metrics) {
    QFile file(metrics);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    for (const char* line :
         {"j4_attempts_total{station=\"line-3\",slot=\"1\",result=\"completed\"} 3\n",
          "j4_attempts_total{station=\"line-3\",slot=\"2\",result=\"completed\"} 2\n",
          "j4_attempts_total{station=\"line-3\",slot=\"2\",result=\"link_failed\"} 1\n",
          // every result is there from the start, at 0
          "j4_attempts_total{station=\"line-3\",slot=\"1\",result=\"link_failed\"} 0\n",
          // the station has ended: no slot waits
          "j4_slots{station=\"line-3\",state=\"waiting\"} 0\n",
          "j4_slots{station=\"line-3\",state=\"stopped\"} 2\n"})
        EXPECT_TRUE(text.contains(line)) << line << text.toStdString();
    EXPECT_TRUE(QRegularExpression("\nj4_station_info\\{station=\"line-3\",version=\"[^\"]+\","
                                   "release=\"\",file_sha256=\"[0-9a-f]{64}\"\\} 1\n")
                    .match(QString::fromUtf8(text))
                    .hasMatch())
        << text.toStdString();
    EXPECT_TRUE(
        text.contains("j4_last_completed_timestamp_seconds{station=\"line-3\",slot=\"1\"} "));
    QProcess check;
    check.start("promtool", {"check", "metrics"});
    check.write(text);
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardError().toStdString();
    const int port = freeLocalPort();
    QProcess exporter;
    exporter.start("prometheus-node-exporter",
                   {"--web.listen-address=127.0.0.1:" + QString::number(port),
                    "--collector.disable-defaults", "--collector.textfile",
                    "--collector.textfile.directory=" + QFileInfo(metrics).path()});
    ASSERT_TRUE(exporter.waitForStarted());
    const QByteArray served = scrape("127.0.0.1", port);
    exporter.kill();
    exporter.waitForFinished();
    EXPECT_TRUE(
        served.contains("j4_attempts_total{result=\"completed\",slot=\"1\",station=\"line-3\"} 3"))
        << served.toStdString();
}

} // namespace

TEST_F(FlashCli, AStationUpdatesEachDevicePluggedInOnce) {
    // Two slots named by path; devices appear and vanish there as they would
    // on a jig. One left plugged is not updated again; one pulled mid-update
    // fails and its slot goes on; every attempt is logged with its slot.
    const QString slot1 = dir.filePath("slot1");
    const QString slot2 = dir.filePath("slot2");
    const QString log = dir.filePath("station.jsonl");
    QDir().mkpath(dir.filePath("textfile"));
    const QString metrics = dir.filePath("textfile/j4.prom");
    QProcess station;
    station.start(flashPath(),
                  {"--watch", "--device", slot1, "--device", slot2, "--log", log, "--station-id",
                   "line-3", "--metrics", metrics, "--timeout", "500", file});
    ASSERT_TRUE(station.waitForStarted());
    const auto plugged = [&](const QString& slot, const QStringList& options) {
        auto device =
            std::make_unique<DevSim>(options + QStringList{"--summary", slot + ".summary"});
        EXPECT_TRUE(QFile::link(device->device(), slot));
        return device;
    };
    for (int cycle = 0; cycle < 3; ++cycle) {
        auto first = plugged(slot1, {});
        auto second =
            plugged(slot2, cycle == 1 ? QStringList{"--hangup-at", "5:10"} : QStringList{});
        QThread::msleep(700); // updated, then left plugged
        // udev rewriting a link in place on a change event: no new device.
        const QByteArray fresh = QFile::encodeName(slot1 + ".new");
        EXPECT_TRUE(QFile::link(first->device(), QFile::decodeName(fresh)));
        EXPECT_EQ(::rename(fresh.constData(), QFile::encodeName(slot1).constData()), 0);
        QThread::msleep(300);
        EXPECT_EQ(first->stop().toStdString(), "transmissions=20 accepts=20 rejects=0") << cycle;
        if (cycle != 1) {
            EXPECT_TRUE(second->capture() == image) << cycle;
        }
        QFile::remove(slot1);
        QFile::remove(slot2);
        QThread::msleep(100);
    }
    ::kill(static_cast<pid_t>(station.processId()), SIGINT);
    ASSERT_TRUE(station.waitForFinished(5000));
    const QString out = QString::fromUtf8(station.readAllStandardOutput());
    EXPECT_EQ(station.exitCode(), 5) << "the pulled device's failure" << out.toStdString();
    EXPECT_TRUE(out.contains("slot 1 (" + slot1 + "): 3 completed, 0 failed")) << out.toStdString();
    EXPECT_TRUE(out.contains("slot 2 (" + slot2 + "): 2 completed, 1 failed")) << out.toStdString();
    QFile written(log);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_EQ(lines.size(), 7) << "six attempts";
    QSet<int> slotNumbers;
    for (int i = 0; i < 6; ++i)
        slotNumbers << QJsonDocument::fromJson(lines[i]).object()["slot"].toInt();
    EXPECT_EQ(slotNumbers, (QSet<int>{1, 2}));
    expectMetrics(metrics);

    // A port number pinned by a ports file to a path of the jig's own,
    // outside /dev: that folder is watched too.
    {
        const QString config = dir.filePath("jig-config");
        QDir().mkpath(config + "/j4-updater");
        const QString jig = dir.filePath("jig");
        QDir().mkpath(jig);
        QFile ports(config + "/j4-updater/ports");
        ASSERT_TRUE(ports.open(QIODevice::WriteOnly));
        ports.write("7 " + QFile::encodeName(jig + "/socket3") + "\n");
        ports.close();
        QProcess pinned;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", config);
        pinned.setProcessEnvironment(environment);
        pinned.start(flashPath(), {"--watch", "--port", "7", file});
        ASSERT_TRUE(pinned.waitForStarted());
        QThread::msleep(300); // watching: the slot's first look found nothing
        DevSim device;
        EXPECT_TRUE(QFile::link(device.device(), jig + "/socket3"));
        const QByteArray said = readUntil(pinned, "Update is completed.");
        ::kill(static_cast<pid_t>(pinned.processId()), SIGINT);
        ASSERT_TRUE(pinned.waitForFinished(10000));
        EXPECT_TRUE(said.contains("Update is completed.")) << said.toStdString();
    }

    // One device in two slots: refused before watching when the names lead
    // to it already; when it shows up in both later, updated once.
    {
        DevSim one;
        const QString alias = dir.filePath("alias");
        ASSERT_TRUE(QFile::link(one.device(), alias));
        const ProgramResult twice =
            flash({"--watch", "--device", one.device(), "--device", alias, file});
        EXPECT_EQ(twice.exitCode, 2);
        EXPECT_TRUE(twice.err.contains("are the same device")) << twice.err.toStdString();
        QProcess both;
        both.start(flashPath(), {"--watch", "--device", slot1, "--device", slot2, file});
        ASSERT_TRUE(both.waitForStarted());
        QThread::msleep(300); // watching: the slots' first look found nothing
        EXPECT_TRUE(QFile::link(one.device(), slot1));
        EXPECT_TRUE(QFile::link(one.device(), slot2));
        QByteArray said = readUntil(both, "Update is completed.");
        QThread::msleep(500); // time enough for a second attempt, were there one
        ::kill(static_cast<pid_t>(both.processId()), SIGINT);
        ASSERT_TRUE(both.waitForFinished(10000));
        said += both.readAllStandardOutput();
        EXPECT_EQ(both.exitCode(), 0) << said.toStdString();
        EXPECT_EQ(said.count("Update is completed."), 1) << said.toStdString();
        EXPECT_EQ(said.count(" 0 failed"), 2) << said.toStdString();
        EXPECT_EQ(one.stop().toStdString(), "transmissions=20 accepts=20 rejects=0");
        QFile::remove(slot1);
        QFile::remove(slot2);
    }

    // The system's inotify limits used up by other programs (here lowered in
    // a user namespace of the test's own): the station says so once and
    // still sees each device plugged in.
    if (runProgram("unshare", {"-U", "-r", "true"}).exitCode != 0)
        GTEST_SKIP() << "no user namespaces here";
    for (const char* limit : {"max_inotify_instances", "max_inotify_watches"}) {
        QProcess blind;
        blind.start("unshare", {"-U", "-r", "sh", "-c",
                                QStringLiteral("echo 0 >/proc/sys/user/%1 && exec \"$0\" --watch "
                                               "--device \"$1\" --timeout 500 \"$2\"")
                                    .arg(QLatin1String(limit)),
                                flashPath(), slot1, file});
        ASSERT_TRUE(blind.waitForStarted());
        QByteArray said = readUntil(blind, "every half second", QProcess::StandardError);
        EXPECT_TRUE(said.contains("Cannot watch the slots for devices (inotify"))
            << limit << said.toStdString();
        auto device = plugged(slot1, {});
        readUntil(blind, "Update is completed.");
        EXPECT_TRUE(device->capture() == image) << limit << ": the device was seen and updated";
        ::kill(static_cast<pid_t>(blind.processId()), SIGINT);
        ASSERT_TRUE(blind.waitForFinished(20000));
        said += blind.readAllStandardError();
        EXPECT_EQ(blind.exitCode(), 0) << said.toStdString();
        EXPECT_EQ(said.count("Cannot watch"), 1) << said.toStdString();
        QFile::remove(slot1);
    }
}

namespace {

QByteArray sha256Of(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly)
               ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex()
               : QByteArray();
}

} // namespace

TEST_F(FlashCli, AStationOnALineTiesEachUnitToItsDeviceAndSignalsEachResult) {
    // Units scanned on standard input, refused by the rule, replaced before
    // a plug, required before any frame; a settle time before the first
    // frame; the line's command after each attempt, with the attempt in its
    // environment, never holding a slot up.
    const QString slot1 = dir.filePath("slot1");
    const QString slot2 = dir.filePath("slot2");
    const QString log = dir.filePath("line.jsonl");
    const QString signals_ = dir.filePath("signals");
    QDir().mkpath(signals_);
    QProcess station;
    station.start(flashPath(),
                  {"--watch", "--device", slot1, "--device", slot2, "--log", log, "--units", "-",
                   "--unit-rule", "^J4-[0-9]{4}$", "--require-unit", "--settle", "1500",
                   "--on-result",
                   "env | grep ^J4_ | sort > \"" + signals_ + "/$J4_SLOT-$J4_RESULT-$J4_UNIT\"; " +
                       "echo hook-says-$J4_SLOT; sh -c 'echo $$ > \"" + signals_ +
                       "/child-$J4_SLOT-$J4_UNIT\"; exec sleep 300' & sleep 30",
                   "--timeout", "500", file});
    ASSERT_TRUE(station.waitForStarted());
    QByteArray said = readUntil(station, "Ctrl+C ends the station.");
    station.write("J4-12\n");
    said += readUntil(station, "is not a unit serial", QProcess::StandardError);
    EXPECT_TRUE(said.contains("\"J4-12\" is not a unit serial (^J4-[0-9]{4}$): scan the unit's "
                              "label again."))
        << said.toStdString();
    {
        DevSim first;
        QElapsedTimer settled;
        settled.start();
        EXPECT_TRUE(QFile::link(first.device(), slot1));
        said += readUntil(station, "scan the unit's label\n");
        QThread::msleep(300); // no frame goes without the unit
        EXPECT_TRUE(first.capture().isEmpty());
        station.write("J4-0001\n");
        said += readUntil(station, "Update is completed.");
        EXPECT_GE(settled.elapsed(), 1500) << "the settle time, counted from the plug";
        EXPECT_TRUE(first.capture() == image);
        QFile::remove(slot1);
    }
    station.write("J4-0002\nJ4-0003\n");
    said += readUntil(station, "Unit J4-0003 replaces J4-0002, which no device took.");
    {
        DevSim second;
        EXPECT_TRUE(QFile::link(second.device(), slot2));
        said += readUntil(station, "unit J4-0003  Update is completed.");
        QFile::remove(slot2);
    }
    {
        DevSim pulled;
        EXPECT_TRUE(QFile::link(pulled.device(), slot1));
        said += readUntil(station, "scan the unit's label");
        QFile::remove(slot1);
        said += readUntil(station, "pulled before its unit's label was scanned");
    }
    ::kill(static_cast<pid_t>(station.processId()), SIGINT);
    ASSERT_TRUE(station.waitForFinished(60000));
    said += station.readAllStandardOutput();
    // What a command prints never mixes with the station's own output.
    EXPECT_FALSE(said.contains("hook-says")) << said.toStdString();
    said += station.readAllStandardError();
    EXPECT_TRUE(said.contains("hook-says-1")) << said.toStdString();
    // Nor does anything it started outlive it.
    for (const QString& name : QDir(signals_).entryList({"child-*"})) {
        QFile pidFile(signals_ + "/" + name);
        ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
        const pid_t child = pidFile.readAll().trimmed().toInt();
        ASSERT_GT(child, 0);
        // Killed, it is a zombie until whoever adopted it reaps it.
        const auto running = [child] {
            QFile stat(QString("/proc/%1/stat").arg(child));
            return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
        };
        QElapsedTimer clock;
        clock.start();
        while (running() && clock.elapsed() < 20000)
            QThread::msleep(50);
        EXPECT_FALSE(running()) << name.toStdString() << " is still running";
        ::kill(child, SIGKILL);
    }
    EXPECT_EQ(station.exitCode(), 9) << "a device pulled before its scan" << said.toStdString();
    EXPECT_TRUE(said.contains("unit J4-0001  Update is completed.")) << said.toStdString();
    EXPECT_TRUE(said.contains("ran longer than 10 s and was ended")) << said.toStdString();
    EXPECT_EQ(said.count("The result command"), 1) << said.toStdString();
    QFile signal(signals_ + "/1-completed-J4-0001");
    ASSERT_TRUE(signal.open(QIODevice::ReadOnly));
    const QByteArray environment = signal.readAll();
    for (const QByteArray& line :
         {QByteArray("J4_EXIT=0\n"), QByteArray("J4_RESULT=completed\n"), QByteArray("J4_SLOT=1\n"),
          QByteArray("J4_TEXT=Update is completed.\n"), QByteArray("J4_UNIT=J4-0001\n"),
          "J4_DEVICE=" + QFile::encodeName(slot1) + "\n",
          "J4_FILE_SHA256=" + sha256Of(file) + "\n"})
        EXPECT_TRUE(environment.contains(line)) << line.toStdString() << environment.toStdString();
    EXPECT_TRUE(QFile::exists(signals_ + "/2-completed-J4-0003"));
    EXPECT_TRUE(QFile::exists(signals_ + "/1-failed-"));
    QFile written(log);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    QStringList units;
    for (const QByteArray& line : written.readAll().split('\n'))
        if (!line.isEmpty()) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            units << record["unit"].toString() + " " + record["outcome"].toString();
        }
    EXPECT_EQ(units, (QStringList{"J4-0001 completed", "J4-0003 completed", " unit_not_scanned"}));
}

// The attempts a log holds: "slot unit outcome" each.
QStringList loggedAttempts(const QString& log) {
    QFile written(log);
    written.open(QIODevice::ReadOnly);
    QStringList attempts;
    for (const QByteArray& line : written.readAll().split('\n'))
        if (!line.isEmpty()) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            attempts << QString::number(record["slot"].toInt()) + " " + record["unit"].toString() +
                            " " + record["outcome"].toString();
        }
    return attempts;
}

TEST_F(FlashCli, AStationNeverPutsAnAttemptOnAnotherDeviceOrUnit) {
    // A device pulled while it settles, another plugged in its place: the
    // first gets nothing, the second one update after a settle of its own.
    const QString slot1 = dir.filePath("slot1");
    const QString slot2 = dir.filePath("slot2");
    const QString swapLog = dir.filePath("swap.jsonl");
    {
        QProcess station;
        station.start(flashPath(), {"--watch", "--device", slot1, "--settle", "2500", "--log",
                                    swapLog, "--timeout", "500", file});
        ASSERT_TRUE(station.waitForStarted());
        readUntil(station, "Ctrl+C ends the station.");
        DevSim first;
        DevSim second;
        EXPECT_TRUE(QFile::link(first.device(), slot1));
        readUntil(station, "plugged in");
        QFile::remove(slot1);
        EXPECT_TRUE(QFile::link(second.device(), slot1));
        const QByteArray said = readUntil(station, "Update is completed.");
        EXPECT_TRUE(said.contains("Update is completed.")) << said.toStdString();
        ::kill(static_cast<pid_t>(station.processId()), SIGINT);
        ASSERT_TRUE(station.waitForFinished(60000));
        EXPECT_TRUE(first.capture().isEmpty());
        EXPECT_TRUE(second.capture() == image) << "once: " << second.capture().size();
        EXPECT_EQ(loggedAttempts(swapLog), QStringList{"1  completed"});
    }

    // Two devices waiting for their unit: a scan without a slot is refused,
    // never guessed; the slot named first, or with the unit, binds it.
    const QString log = dir.filePath("units.jsonl");
    QProcess station;
    station.start(flashPath(), {"--watch", "--device", slot1, "--device", slot2, "--units", "-",
                                "--require-unit", "--log", log, "--timeout", "500", file});
    ASSERT_TRUE(station.waitForStarted());
    readUntil(station, "Ctrl+C ends the station.");
    DevSim first;
    DevSim second;
    QFile::remove(slot1);
    EXPECT_TRUE(QFile::link(first.device(), slot1));
    EXPECT_TRUE(QFile::link(second.device(), slot2));
    QByteArray said = readUntil(station, "scan the unit's label");
    if (said.count("scan the unit's label") < 2)
        said += readUntil(station, "scan the unit's label");
    station.write("J4-0001\n" + QByteArray(600, 'x') + "\n" +
                  QByteArray("J4-\0"
                             "002\n",
                             8));
    said += readUntil(station, "NUL byte", QProcess::StandardError);
    for (const char* refused :
         {"Devices in slots 1 and 2 wait for their unit: scan the slot's label (\"slot N\") "
          "before the unit's, so that J4-0001 goes to the right one.",
          "A scan of 600 bytes is longer than a unit's label (at most 511)",
          "The scan holds a NUL byte: scan the unit's label again."})
        EXPECT_TRUE(said.contains(refused)) << refused << said.toStdString();
    station.write("slot 2\nJ4-0002\n");
    said += readUntil(station, "Unit J4-0002 goes to slot 2.");
    said += readUntil(station, "Update is completed.");
    station.write("slot 1 J4-0001\n");
    said += readUntil(station, "unit J4-0001  Update is completed.");
    station.closeWriteChannel();
    said += readUntil(station, "no device can be updated until the station is started again",
                      QProcess::StandardError);
    ::kill(static_cast<pid_t>(station.processId()), SIGINT);
    ASSERT_TRUE(station.waitForFinished(60000));
    said += station.readAllStandardOutput() + station.readAllStandardError();
    EXPECT_TRUE(said.contains("no device can be updated until the station is started again"))
        << said.toStdString();
    QStringList attempts = loggedAttempts(log);
    attempts.sort();
    EXPECT_EQ(attempts, (QStringList{"1 J4-0001 completed", "2 J4-0002 completed"}))
        << said.toStdString();
    // A service's scans from a FIFO: a scanning program that writes a scan
    // and exits ends nothing, and a scanner's CR ends a line as LF does.
    // Its program hears every scan, plug, result and pull as JSON.
    const QString fifo = dir.filePath("scans");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString fifoLog = dir.filePath("fifo.jsonl");
    QFile::remove(slot1);
    QProcess service;
    service.start(flashPath(), {"--watch", "--device", slot1, "--units", fifo, "--require-unit",
                                "--log", fifoLog, "--timeout", "500", "--json", "--station-id",
                                "line-9", "--operator", "kim", file});
    ASSERT_TRUE(service.waitForStarted());
    readUntil(service, "Ctrl+C ends the station.", QProcess::StandardError);
    QByteArray events;
    const auto scan = [&](const QByteArray& line) {
        QFile writer(fifo);
        ASSERT_TRUE(writer.open(QIODevice::WriteOnly));
        writer.write(line);
    };
    scan(QByteArray(600, 'x') + "\n");
    for (const QByteArray& scanned : {QByteArray("J4-0007\r"), QByteArray("J4-0008\r\n")}) {
        scan(scanned);
        DevSim device;
        EXPECT_TRUE(QFile::link(device.device(), slot1));
        events += readUntil(service, "\"event\":\"result\"");
        QFile::remove(slot1);
        events += readUntil(service, "\"event\":\"pulled\"");
    }
    ::kill(static_cast<pid_t>(service.processId()), SIGINT);
    ASSERT_TRUE(service.waitForFinished(60000));
    events += service.readAllStandardOutput();
    said = service.readAllStandardError();
    EXPECT_FALSE(said.contains("scans ended")) << said.toStdString();
    QStringList heard;
    for (const QByteArray& line : events.split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        const QString name = event["event"].toString();
        if (name == "scan")
            heard << "scan " + (event["accepted"].toBool() ? event["unit"].toString()
                                                           : event["reason"].toString().left(13));
        else if (name == "result")
            heard << "result " + event["unit"].toString() + " " + event["station"].toString() +
                         " " + event["operator"].toString() + " " + event["outcome"].toString();
        else if (name == "pulled")
            heard << "pulled " + QString::number(event["slot"].toInt());
    }
    EXPECT_EQ(heard, (QStringList{"scan A scan of 600", "scan J4-0007",
                                  "result J4-0007 line-9 kim completed", "pulled 1", "scan J4-0008",
                                  "result J4-0008 line-9 kim completed", "pulled 1"}))
        << events.toStdString();
    EXPECT_EQ(loggedAttempts(fifoLog), (QStringList{"1 J4-0007 completed", "1 J4-0008 completed"}));
}

TEST_F(FlashCli, TheStationsServiceRunsAProfileAndTheShellCompletesTheCommand) {
    // The unit file as systemd reads it, and its command line run as the
    // service would run it: a profile's station, ended by systemd's SIGTERM
    // with the status the unit counts as success.
    QFile unitFile(QStringLiteral(J4_SOURCE_DIR "/packaging/j4-station@.service"));
    ASSERT_TRUE(unitFile.open(QIODevice::ReadOnly));
    const QString unit = QString::fromUtf8(unitFile.readAll());
    // A stop is a shift's end whatever the attempts did; a profile that
    // cannot work is not restarted.
    const QStringList success =
        unit.section("\nSuccessExitStatus=", 1).section('\n', 0, 0).split(' ');
    EXPECT_EQ(success, (QStringList{"4", "5", "6", "7", "9", "130"}));
    EXPECT_TRUE(unit.contains("\nRestartPreventExitStatus=2\n") &&
                unit.contains("\nRestart=on-failure\n") &&
                unit.contains("\nSupplementaryGroups=dialout\n"));
    const QDir units(dir.filePath("units"));
    QDir().mkpath(units.path());
    QFile local(units.filePath("j4-station@.service"));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(QString(unit).replace("/usr/bin/j4_flash", flashPath()).toUtf8());
    local.close();
    EXPECT_EQ(j4::testing::unitObjections(units.path(), "j4-station@line-3.service"), QString());
    QString command = unit.section("\nExecStart=", 1).section('\n', 0, 0);
    const QString slot = dir.filePath("slot");
    textFile("line-3.ini", "[station]\nfile = " + file.toUtf8() + "\nslots = " + slot.toUtf8() +
                               "\nstation-id = line-3\n");
    command.replace("/usr/bin/j4_flash", flashPath())
        .replace("/etc/j4-updater/%i.ini", dir.filePath("line-3.ini"));
    QProcess service;
    service.start("sh", {"-c", "exec " + command});
    ASSERT_TRUE(service.waitForStarted());
    readUntil(service, "Ctrl+C ends the station.");
    DevSim device;
    EXPECT_TRUE(QFile::link(device.device(), slot));
    const QByteArray said = readUntil(service, "Update is completed.");
    EXPECT_TRUE(said.contains("Update is completed.")) << said.toStdString();
    service.terminate();
    ASSERT_TRUE(service.waitForFinished(30000));
    EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(service.exitCode() == 0 || success.contains(QString::number(service.exitCode())))
        << "a success to systemd: " << service.exitCode();

    // Completion: options, the port numbers listed, update files.
    QDir().mkpath(dir.filePath("files/sub"));
    textFile("files/a.j4u", "");
    textFile("files/notes.txt", "");
    const auto complete = [&](const QString& words) {
        return completions(J4_SOURCE_DIR "/packaging/j4_flash.bash-completion", "_j4_flash",
                           QFileInfo(flashPath()).path(), dir.filePath("files"), words,
                           {"J4_PORTS=" + device.device() + ":/dev/null"});
    };
    EXPECT_EQ(complete("j4_flash --wat"), QStringList{"--watch"});
    EXPECT_TRUE(complete("j4_flash --").contains("--require-signature"));
    EXPECT_EQ(complete("j4_flash --port ''"), (QStringList{"1", "2"}));
    EXPECT_EQ(complete("j4_flash --port 1 ''"), (QStringList{"sub", "a.j4u"}));
}
