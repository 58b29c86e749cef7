// Lowering a USB adapter's latency timer, against a fake sysfs tree.

#include "serial_platform.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <unistd.h>

using namespace j4::platform;

namespace {

class FakeSysfs {
public:
    QString root() const { return dir_.path(); }
    QString timer(const char* tty) const {
        return dir_.filePath(QStringLiteral("bus/usb-serial/devices/%1/latency_timer")
                                 .arg(QString::fromLatin1(tty)));
    }
    void addAdapter(const char* tty, const char* value, QFile::Permissions permissions) {
        QDir(dir_.path()).mkpath(QStringLiteral("bus/usb-serial/devices/") + QLatin1String(tty));
        QFile file(timer(tty));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(value);
        file.close();
        file.setPermissions(permissions);
    }
    QByteArray read(const char* tty) const {
        QFile file(timer(tty));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    }

private:
    QTemporaryDir dir_;
};

constexpr auto kWritable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther;

} // namespace

TEST(AdapterLatency, TheTimerIsLoweredToOneAndPutBackOnClose) {
    FakeSysfs sysfs;
    sysfs.addAdapter("ttyUSB0", "16\n", kWritable);
    AdapterLatency latency;
    lowerLatencyTimer(latency, sysfs.root(), QStringLiteral("ttyUSB0"));
    EXPECT_EQ(sysfs.read("ttyUSB0"), "1");
    EXPECT_EQ(latency.timerMs, 1);
    EXPECT_FALSE(latency.answersDelayed());
    restoreLatency(-1, latency);
    EXPECT_EQ(sysfs.read("ttyUSB0"), "16");
}

TEST(AdapterLatency, ATimerAlreadyAtOneIsLeftAsItIs) {
    FakeSysfs sysfs;
    sysfs.addAdapter("ttyUSB1", "1\n", kWritable);
    AdapterLatency latency;
    lowerLatencyTimer(latency, sysfs.root(), QStringLiteral("ttyUSB1"));
    EXPECT_FALSE(latency.answersDelayed());
    restoreLatency(-1, latency);
    EXPECT_EQ(sysfs.read("ttyUSB1"), "1");
}

TEST(AdapterLatency, PortsWithoutATimerAreNotUsbAdapters) {
    FakeSysfs sysfs;
    AdapterLatency latency;
    lowerLatencyTimer(latency, sysfs.root(), QStringLiteral("ttyS0"));
    EXPECT_TRUE(latency.timerPath.empty());
    EXPECT_FALSE(latency.answersDelayed());
}

TEST(AdapterLatency, AReadOnlyTimerIsReportedAsDelayingAnswers) {
    FakeSysfs sysfs;
    sysfs.addAdapter("ttyUSB2", "16\n", QFile::ReadOwner | QFile::ReadOther);
    QDir().mkpath(sysfs.root()); // the tree must be readable by the user below
    ::chmod(QFile::encodeName(sysfs.root()).constData(), 0755);
    // Root may write to any file; an ordinary user may not, as with sysfs.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(10);
        AdapterLatency latency;
        lowerLatencyTimer(latency, sysfs.root(), QStringLiteral("ttyUSB2"));
        ::_exit(latency.answersDelayed() && latency.timerMs == 16 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(sysfs.read("ttyUSB2"), "16");
}
