// A full update at line rate: a maximum-size image in frames of 1,024 bytes
// against j4_devsim pacing the line at 115200 8N1. Compares the wall time with
// the wire-time bound (every frame's bytes plus its answer byte, 10 bits each)
// and reports the host's CPU time as a share of the wall time.

#include "processes.h"
#include "qt_serial_link.h"
#include "transfer.h"
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QByteArray bytes = j4::testing::makeImage(256, 1022);
    const std::vector<std::uint8_t> image(bytes.begin(), bytes.end());

    j4::testing::DevSim device({QStringLiteral("--pace")});
    j4::QtSerialLink link;
    if (link.open(device.device().toStdString()) != j4::LinkError::None)
        return std::fprintf(stderr, "cannot open the device\n"), 1;
    link.flushInput();
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    // The guard after the last frame is part of the measured time.
    const j4::TransferResult outcome = j4::runTransfer(image, link);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    link.close();
    if (!outcome.completed() || device.capture() != bytes)
        return std::fprintf(stderr, "transfer failed\n"), 1;

    const double bound = (bytes.size() + 256.0) * 10.0 / 115200.0;
    std::printf("image: %lld bytes in 256 frames of 1024\n", static_cast<long long>(bytes.size()));
    std::printf("wall time %.3f s, wire-time bound %.3f s, ratio %.4f (target <= 1.02)\n", wall,
                bound, wall / bound);
    std::printf("host CPU (user+system) %.3f s = %.2f %% of wall (target < 2 %%)\n", cpu,
                100.0 * cpu / wall);
    return 0;
}
