// Host turnaround: minimal frames (length 0) against j4_devsim without pacing,
// through the serial link, beside a plain termios write/read loop on the same
// pseudo-terminal as the baseline. Blocks of the two alternate so that drift
// on a shared machine hits both alike.

#include "processes.h"
#include "qt_serial_link.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 10000;
constexpr int kBlock = 500;
const std::uint8_t kFrame[2] = {0, 0};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

int openRaw(const QString& device) {
    const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

bool rawRoundTrip(int fd) {
    if (::write(fd, kFrame, 2) != 2)
        return false;
    pollfd p{fd, POLLIN, 0};
    std::uint8_t answer = 0;
    return ::poll(&p, 1, 10000) == 1 && ::read(fd, &answer, 1) == 1 && answer == 0x11;
}

bool linkRoundTrip(j4::QtSerialLink& link) {
    // As the transfer does it: the out-of-step check, the frame, the answer.
    return link.bytesWaiting(std::chrono::milliseconds{0}).count == 0 &&
           link.write(kFrame) == j4::LinkError::None && link.readByte().byte == 0x11;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    j4::testing::DevSim device;
    std::vector<double> raw, viaLink;
    for (int done = 0; done < kRoundTrips; done += kBlock) {
        const int fd = openRaw(device.device());
        for (int i = 0; i < kBlock; ++i) {
            const auto start = Clock::now();
            if (!rawRoundTrip(fd))
                return std::fprintf(stderr, "baseline round trip failed\n"), 1;
            raw.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        ::close(fd);
        j4::QtSerialLink link;
        if (link.open(device.device().toStdString()) != j4::LinkError::None)
            return std::fprintf(stderr, "cannot open %s\n", qPrintable(device.device())), 1;
        for (int i = 0; i < kBlock; ++i) {
            const auto start = Clock::now();
            if (!linkRoundTrip(link))
                return std::fprintf(stderr, "link round trip failed\n"), 1;
            viaLink.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    const double rawMedian = percentile(raw, 0.5);
    const double linkMedian = percentile(viaLink, 0.5);
    std::printf("round trips: %d each\n", kRoundTrips);
    std::printf("termios baseline: median %.1f us, p99 %.1f us\n", rawMedian,
                percentile(raw, 0.99));
    std::printf("serial link:      median %.1f us, p99 %.1f us\n", linkMedian,
                percentile(viaLink, 0.99));
    std::printf("median ratio link/baseline: %.2f (target <= 1.5)\n", linkMedian / rawMedian);
    return 0;
}
