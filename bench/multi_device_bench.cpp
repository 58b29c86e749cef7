// Several devices at once: one j4_flash run sends a maximum-size image (262,144
// bytes in frames of 1,024) to eight paced j4_devsim devices, against the same
// run with one device alone, measured in the same process. Reports the wall
// time ratio and the host's CPU time (j4_flash's, user and system) as a share
// of the wall time.

#include "processes.h"
#include "update_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
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
};

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
    if (!flash.waitForFinished(600000) || flash.exitCode() != 0)
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
    Run alone, eight;
    if (!flashTo(file, 1, alone) || !flashTo(file, 8, eight))
        return 1;
    std::printf("one device:    wall %.3f s, j4_flash CPU %.3f s (%.2f %% of wall)\n", alone.wall,
                alone.cpu, 100.0 * alone.cpu / alone.wall);
    std::printf("eight devices: wall %.3f s, j4_flash CPU %.3f s (%.2f %% of wall)\n", eight.wall,
                eight.cpu, 100.0 * eight.cpu / eight.wall);
    std::printf("wall ratio eight/one: %.4f (target <= 1.05); CPU share target < 5 %%\n",
                eight.wall / alone.wall);
    return 0;
}
