// Plug to first frame: a station (j4_flash --watch) on one slot, and a
// device appearing at the slot's path 20 times, at once (a rename, as udev
// makes its links). Reports the median and the worst time from the device's
// appearance to its first frame answered, as j4_devsim --verbose tells it.

#include "plug_cycle.h"
#include "processes.h"
#include "update_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString file = j4::testing::writeUpdateFile(dir.filePath(QStringLiteral("u.j4u")),
                                                      j4::testing::makeImage(4, 16));
    const QString slot = dir.filePath(QStringLiteral("slot"));
    QProcess station;
    station.start(j4::testing::flashPath(), {"--watch", "-q", "--device", slot, file});
    if (!station.waitForStarted() || !station.waitForReadyRead(5000))
        return std::fprintf(stderr, "the station did not start\n"), 1;
    std::vector<double> latencies;
    for (int cycle = 0; cycle < 20; ++cycle) {
        latencies.push_back(
            j4::bench::plugCycle(dir.filePath(QStringLiteral("staging")), slot, {}, 200)
                .firstFrameMs);
    }
    station.terminate();
    station.waitForFinished();
    std::sort(latencies.begin(), latencies.end());
    std::printf("plug to first frame over %zu cycles: median %.1f ms, worst %.1f ms "
                "(target: median <= 300 ms)\n",
                latencies.size(), latencies[latencies.size() / 2], latencies.back());
    return 0;
}
