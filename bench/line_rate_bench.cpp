// A full update at line rate: a maximum-size image in frames of 1,024 bytes
// against j4_devsim pacing the line at 115200 8N1. Compares the wall time with
// the wire-time bound (every frame's bytes plus its answer byte, 10 bits each)
// and reports the host's CPU time as a share of the wall time.

#include "processes.h"
#include "transfer.h"
#include "tty_link.h"
#include "update_files.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <sys/resource.h>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One full update against a paced device; returns false if it failed.
bool run(const QStringList& deviceOptions, const QByteArray& bytes, std::size_t frames,
         double extraBound, const char* what) {
    const std::vector<std::uint8_t> image(bytes.begin(), bytes.end());
    j4::testing::DevSim device(deviceOptions);
    j4::TtyLink link;
    if (link.open(device.device().toStdString()) != j4::LinkError::None)
        return std::fprintf(stderr, "cannot open the device\n"), false;
    link.flushInput();
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    // The guard after the last frame is part of the measured time.
    const j4::TransferResult outcome = j4::runTransfer(image, link);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    link.close();
    device.stop();
    if (!outcome.completed() || device.capture() != bytes)
        return std::fprintf(stderr, "transfer failed\n"), false;
    const double bound =
        (static_cast<double>(bytes.size() + frames)) * 10.0 / 115200.0 + extraBound;
    std::printf("%s: wall %.3f s, bound %.3f s, ratio %.4f (target <= 1.02 for 1,024-byte frames); "
                "host CPU %.3f s = "
                "%.2f %% of wall (target < 2 %%)\n",
                what, wall, bound, wall / bound, cpu, 100.0 * cpu / wall);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QByteArray bytes = j4::testing::makeImage(256, 1022);
    std::printf("image: %lld bytes in 256 frames of 1024, line paced at 115200 8N1\n",
                static_cast<long long>(bytes.size()));
    // The bound: every frame's bytes and its answer, 10 bits each; with an
    // adapter's 1 ms answer delay, 256 x 1 ms more.
    if (!run({QStringLiteral("--pace")}, bytes, 256, 0.0, "answers at once"))
        return 1;
    if (!run({QStringLiteral("--pace"), QStringLiteral("--delay-us"), QStringLiteral("1000")},
             bytes, 256, 0.256, "answers after 1 ms"))
        return 1;
    // Small frames: the host's own cost per frame shows.
    const QByteArray small = j4::testing::makeImage(3641, 16); // 65,538 bytes
    if (!run({QStringLiteral("--pace")}, small, 3641, 0.0, "3,641 frames of 18 bytes"))
        return 1;
    return 0;
}
