// Several devices at once: one j4_flash run sends a maximum-size image (262,144
// bytes in frames of 1,024) to 32 paced j4_devsim devices (or as many as the
// first argument says), against the same run with one device alone, measured
// in the same process. Reports the wall time ratio, the host's CPU time
// (j4_flash's, user and system) as a share of the wall time, and j4_flash's
// peak resident memory.

#include "processes.h"
#include "update_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Run {
    double wall = 0;
    double cpu = 0;
    long peakKib = 0;
};

// The process's resident memory now, from /proc (0 once it is gone).
long residentKib(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// j4_devsim's own CPU counts among the children too, so each run's devices
// are stopped (and reaped) before the figures are read, and their share is
// taken out by measuring them alone.
bool flashTo(const QString& file, int devices, Run& run) {
    std::vector<std::unique_ptr<j4::testing::DevSim>> sims;
    QStringList arguments{QStringLiteral("-q")};
    for (int i = 0; i < devices; ++i) {
        sims.push_back(
            std::make_unique<j4::testing::DevSim>(QStringList{QStringLiteral("--pace")}));
        arguments << QStringLiteral("--device") << sims.back()->device();
    }
    arguments << file;
    QProcess flash;
    const double cpuBefore = childrenCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    flash.start(j4::testing::flashPath(), arguments);
    flash.waitForStarted();
    while (!flash.waitForFinished(50))
        run.peakKib = std::max(run.peakKib, residentKib(flash.processId()));
    if (flash.exitCode() != 0)
        return std::fprintf(stderr, "j4_flash failed: %s\n",
                            flash.readAllStandardError().constData()),
               false;
    run.wall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    run.cpu = childrenCpuSeconds() - cpuBefore; // j4_flash alone: the sims still run
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString file = j4::testing::writeUpdateFile(dir.filePath(QStringLiteral("max.j4u")),
                                                      j4::testing::makeImage(256, 1022));
    const int count = argc > 1 ? std::atoi(argv[1]) : 32;
    Run alone, many;
    if (!flashTo(file, 1, alone) || !flashTo(file, count, many))
        return 1;
    for (const auto& [name, run] : {std::pair{"one device:", &alone}, {"all devices:", &many}})
        std::printf("%-13s wall %.3f s, j4_flash CPU %.3f s (%.2f %% of wall), peak RSS %ld KiB\n",
                    name, run->wall, run->cpu, 100.0 * run->cpu / run->wall, run->peakKib);
    std::printf(
        "%d devices against one: wall ratio %.4f (target <= 1.05); CPU share target < 5 %%\n",
        count, many.wall / alone.wall);
    return 0;
}
