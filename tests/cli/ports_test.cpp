// Port numbers and names as j4_flash finds them: the list, stable names,
// remote ports, ports files.

#include "flash_fixture.h"

TEST_F(FlashCli, StableNamesAndRemotePortsFromThePortList) {
    // A by-id name holds colons; a remote port is an address.
    DevSim local;
    DevSim remote;
    j4::testing::Ser2Net server(remote.device());
    const QString byId = dir.filePath(QStringLiteral("usb-FTDI_FT232R_A1:B2-if00-port0"));
    ASSERT_TRUE(QFile::link(local.device(), byId));
    const QStringList ports{"J4_PORTS=" + byId + ":" + server.url()};
    const ProgramResult listed = flash({"--list-ports"}, ports);
    EXPECT_TRUE(listed.out.contains("  1  " + byId)) << listed.out.toStdString();
    EXPECT_TRUE(listed.out.contains("  2  " + server.url()));
    EXPECT_EQ(flash({"--port", "1-2", "-q", file}, ports).exitCode, 0);
    local.stop();
    remote.stop();
    EXPECT_TRUE(local.capture() == image);
    EXPECT_TRUE(remote.capture() == image);
}

TEST_F(FlashCli, BareDeviceNamesMeanTheDeviceFolder) {
    DevSim device;
    const QString name =
        QDir(QStringLiteral("/dev")).relativeFilePath(QFileInfo(device.device()).symLinkTarget());
    EXPECT_EQ(flash({"--device", name, "-q", file}).exitCode, 0) << name.toStdString();
}

TEST_F(FlashCommand, PortNumbersComeFromTheList) {
    device("/dev/fake");
    qputenv("J4_PORTS", "/dev/j4-nothing-here:/dev/fake");
    const Ran listed = run({"--list-ports"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.out.contains("  2  /dev/fake")) << listed.out.toStdString();
    EXPECT_EQ(run({"--port", "2", "-q", file}).exitCode, 0);
    const Ran missing = run({"--port", "3", "-q", file});
    qunsetenv("J4_PORTS");
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_EQ(missing.lastLine().toStdString(), error("The serial port does not exist."));
    EXPECT_TRUE(sentTo(devices["/dev/fake"]) == image);
}

TEST_F(FlashCommand, PortsFilesPinNumbersAndStableNamesAreListed) {
    // The user's ports file (XDG_CONFIG_HOME), a by-path name in a udev-like
    // folder of the test's own, a bad line named and ignored.
    const QString config = dir.filePath("config");
    QDir().mkpath(config + "/j4-updater");
    const QString target = textFile("ttyFAKE0", "");
    const QString names = dir.filePath("serial");
    QDir().mkpath(names + "/by-path");
    const QString byPath = names + "/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0";
    ASSERT_TRUE(QFile::link(target, byPath));
    QFile ports(config + "/j4-updater/ports");
    ASSERT_TRUE(ports.open(QIODevice::WriteOnly));
    ports.write("# the jig\n7 " + byPath.toUtf8() + "  # socket 3\nseven /dev/ttyS9\n");
    ports.close();
    qputenv("XDG_CONFIG_HOME", config.toUtf8());
    qputenv("J4_SERIAL_NAMES", names.toUtf8());
    const Ran listed = run({"--list-ports"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.out.contains("  7  " + byPath + "  [ports file]"))
        << listed.out.toStdString();
    EXPECT_TRUE(listed.err.contains(config + "/j4-updater/ports:3: 'seven' is not a port number"))
        << listed.err.toStdString();
    device(byPath.toStdString());
    EXPECT_EQ(run({"--port", "7", "-q", file}).exitCode, 0);
    EXPECT_TRUE(sentTo(devices[byPath.toStdString()]) == image) << "port 7 is the pinned socket";

    // A number pinned twice: the later line wins, and says so.
    ASSERT_TRUE(ports.open(QIODevice::Append));
    ports.write("7 /dev/ttyS8\n");
    ports.close();
    EXPECT_TRUE(run({"--list-ports"})
                    .err.contains(
                        config +
                        "/j4-updater/ports:4: port 7 is pinned again; this line wins over line 2"));
    // A flood of bad lines: the first few named, the rest counted.
    ASSERT_TRUE(ports.open(QIODevice::WriteOnly));
    const QByteArray binary("\x01\xff garbage\0\n", 12);
    for (int i = 0; i < 2000; ++i)
        ports.write(binary);
    ports.close();
    const Ran flooded = run({"--list-ports"});
    EXPECT_EQ(flooded.err.count('\n'), 6) << flooded.err.left(2000).toStdString();
    EXPECT_TRUE(flooded.err.contains("ports: 1995 more lines are ignored"));
    // Too large to be a ports file, or not a file that can be read: named,
    // never silently skipped, and never waited on.
    ASSERT_TRUE(ports.resize(10 * 1024 * 1024));
    EXPECT_TRUE(run({"--list-ports"}).err.contains("is too large for a ports file"));
    ASSERT_TRUE(ports.remove());
    ASSERT_TRUE(QDir().mkpath(ports.fileName()));
    EXPECT_TRUE(run({"--list-ports"}).err.contains(ports.fileName() + ": cannot be read ("));
    ASSERT_TRUE(QDir().rmdir(ports.fileName()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(ports.fileName()).constData(), 0600), 0);
    DevSim devsim;
    const ProgramResult fifo =
        flash({"--device", devsim.device(), "-q", file}, {"XDG_CONFIG_HOME=" + config});
    EXPECT_EQ(fifo.exitCode, 0) << fifo.err.toStdString();
    EXPECT_TRUE(fifo.err.contains("ports: cannot be read (not a regular file)"));
    qunsetenv("XDG_CONFIG_HOME");

    // A ready ports file for what is plugged in now, by socket.
    qputenv("J4_PORTS", target.toUtf8());
    const Ran written = run({"--list-ports", "--ports-file"});
    EXPECT_EQ(written.exitCode, 0);
    EXPECT_TRUE(written.out.contains("\n1 " + byPath + "\n")) << written.out.toStdString();
    const Ran details = run({"--list-ports"});
    EXPECT_TRUE(details.out.contains("by-path  " + byPath)) << details.out.toStdString();
    // No adapter in a USB socket: nothing written over a good ports file,
    // and a failure the shell sees.
    qputenv("J4_PORTS", "/dev/null");
    const Ran empty = run({"--list-ports", "--ports-file"});
    EXPECT_EQ(empty.exitCode, 4);
    EXPECT_TRUE(empty.out.isEmpty()) << empty.out.toStdString();
    EXPECT_TRUE(empty.err.contains("there is nothing to pin")) << empty.err.toStdString();
    qunsetenv("J4_PORTS");
    qunsetenv("J4_SERIAL_NAMES");

    // An adapter chosen by a serial number no adapter has: exit 4, and what is there.
    const Ran unknown = run({"--serial", "NOSUCH1", "-q", file});
    EXPECT_EQ(unknown.exitCode, 4);
    EXPECT_TRUE(unknown.err.contains("No adapter with the serial number NOSUCH1 is plugged in"))
        << unknown.err.toStdString();
    for (const QStringList& arguments :
         {QStringList{"--watch", file}, QStringList{"--watch", "--check", "--port", "1", file},
          QStringList{"--ports-file", "--port", "1", file},
          QStringList{"--watch", "--port", "1-3", file}})
        EXPECT_EQ(run(arguments).exitCode, 2) << arguments.join(' ').toStdString();
}
