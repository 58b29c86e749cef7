// A plug storm: a station (j4_flash --watch) on one slot, and a device
// plugged and pulled there again and again (a link made and removed, as udev
// does); every third one pulled in the middle of its update. Reports the station's resident memory
// after a warm-up and at the end, as kilobytes per 1,000 attempts: a station runs for a shift, and
// must stay flat. Its baseline is the same station's memory right after warm-up.
//   station_storm_bench [ATTEMPTS] [same]   (default 1000 attempts, each a new
//   device on a pseudo-terminal of its own; "same": one device plugged again)

#include "processes.h"
#include "update_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kWarmUp = 100;

long residentKib(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int attempts = argc > 1 ? std::atoi(argv[1]) : 1000;
    const bool sameDevice = argc > 2 && QByteArray(argv[2]) == "same";
    QTemporaryDir dir;
    const QString file = j4::testing::writeUpdateFile(dir.filePath(QStringLiteral("u.j4u")),
                                                      j4::testing::makeImage(4, 16));
    auto device = std::make_unique<j4::testing::DevSim>();
    const QString slot = dir.filePath(QStringLiteral("slot"));
    QProcess station;
    station.start(j4::testing::flashPath(), {"--watch", "-q", "--device", slot, file});
    if (!station.waitForStarted() || !station.waitForReadyRead(5000))
        return std::fprintf(stderr, "the station did not start\n"), 1;
    station.readAllStandardOutput();
    long first = 0;
    long warm = 0;
    QElapsedTimer clock;
    clock.start();
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        const bool pulled = !sameDevice && attempt % 3 == 0;
        if (!sameDevice && attempt > 1)
            device = std::make_unique<j4::testing::DevSim>(pulled ? QStringList{"--hangup-at", "2"}
                                                                  : QStringList{});
        QFile::link(device->device(), slot);
        QByteArray said;
        QElapsedTimer wait;
        wait.start();
        const QByteArray result = pulled ? "removed" : "Update is completed.";
        while (!said.contains(result) && wait.elapsed() < 10000) {
            station.waitForReadyRead(5);
            said += station.readAllStandardOutput();
        }
        if (!said.contains(result))
            return std::fprintf(stderr, "attempt %d did not end as it should: %s\n", attempt,
                                said.constData()),
                   1;
        QFile::remove(slot);
        QThread::msleep(20); // the station sees the device gone
        if (attempt == 1)
            first = residentKib(station.processId());
        if (attempt == kWarmUp)
            warm = residentKib(station.processId());
    }
    const long end = residentKib(station.processId());
    station.terminate();
    station.waitForFinished();
    const double perThousand =
        static_cast<double>(end - warm) * 1000.0 / static_cast<double>(attempts - kWarmUp);
    std::printf("station storm: %d attempts in %.1f s; resident %ld KiB after the first, %ld KiB "
                "after %d, %ld KiB at the end: %+.1f KiB per 1,000 attempts after the warm-up "
                "(target: flat, under 100)\n",
                attempts, static_cast<double>(clock.elapsed()) / 1000.0, first, warm, kWarmUp, end,
                perThousand);
    return 0;
}
