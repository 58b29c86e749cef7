// Host turnaround: minimal frames (length 0) through the serial link, as the
// transfer sends them (the check for surplus bytes, the frame, the answer),
// beside a minimal C loop (write, blocking read) on the same pseudo-terminal.
// Both run against a trivial C responder and against j4_devsim. Blocks of the
// two alternate so that drift on a shared machine hits both alike. Reported:
// the median turnaround, and the host's CPU time per round trip as the median
// of link/minimal over neighbouring blocks.

#include "link_factory.h"
#include "processes.h"
#include "tty_link.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 20000;
constexpr int kBlock = 250;
const std::uint8_t kFrame[2] = {0, 0};

// This thread's CPU time, user and system, to the nanosecond (getrusage
// counts in scheduler ticks, too coarse for a block of round trips).
double cpuMicros() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The host on the first CPU and the responder on another, as a real device
// would be: where the scheduler puts the two from one block to the next
// would otherwise move the figures more than the path under test does.
void pin(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(pid, sizeof set, &set);
}

int responderCpu() {
    return sysconf(_SC_NPROCESSORS_ONLN) > 1 ? 1 : 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
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
    std::uint8_t answer = 0;
    return ::write(fd, kFrame, 2) == 2 && ::read(fd, &answer, 1) == 1 && answer == 0x11;
}

bool linkRoundTrip(j4::SerialLink& link) {
    return link.bytesWaiting(std::chrono::milliseconds{0}).count == 0 &&
           link.write(kFrame) == j4::LinkError::None && link.readByte().byte == 0x11;
}

struct Series {
    std::vector<double> micros;
    std::vector<double> cpuPerBlock; // CPU per round trip, block by block
};

// Round trips after an open that are not timed: the first ones after a
// port is set up cost more on either side and say nothing about the path.
constexpr int kWarmUp = 20;

// Times kBlock round trips of `roundTrip` into `series`.
template <class F> bool timeBlock(Series& series, F roundTrip) {
    for (int i = 0; i < kWarmUp; ++i)
        if (!roundTrip())
            return false;
    const double cpuBefore = cpuMicros();
    for (int i = 0; i < kBlock; ++i) {
        const auto start = Clock::now();
        if (!roundTrip())
            return false;
        series.micros.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    series.cpuPerBlock.push_back((cpuMicros() - cpuBefore) / kBlock);
    return true;
}

bool rawBlock(const QString& device, Series& raw) {
    const int fd = openRaw(device);
    const bool ok = fd >= 0 && timeBlock(raw, [fd] { return rawRoundTrip(fd); });
    ::close(fd);
    return ok;
}

bool linkBlock(const QString& device, Series& viaLink) {
    j4::TtyLink link;
    return link.open(device.toStdString()) == j4::LinkError::None &&
           timeBlock(viaLink, [&link] { return linkRoundTrip(link); });
}

// Blocks of the two in pairs, the order swapped from one pair to the next,
// so that whatever favours the first or the second of a pair favours both.
bool measure(const QString& device, Series& raw, Series& viaLink) {
    for (int pair = 0; pair * kBlock < kRoundTrips; ++pair) {
        const bool ok = pair % 2 == 0 ? rawBlock(device, raw) && linkBlock(device, viaLink)
                                      : linkBlock(device, viaLink) && rawBlock(device, raw);
        if (!ok)
            return false;
    }
    return true;
}

// A block of round trips through a remote port, opened afresh.
bool remoteBlock(const QString& url, const j4::TlsSettings& tls, Series& series) {
    const auto link = j4::makeLink(url.toStdString(), std::chrono::seconds(10), tls);
    if (link->open(url.toStdString()) != j4::LinkError::None)
        return false;
    link->flushInput();
    if (!timeBlock(series, [&link] { return linkRoundTrip(*link); }))
        return false;
    link->close();
    // ser2net lets go of the device (and its lock) once we have gone.
    QThread::msleep(200);
    return true;
}

// The same device directly, through ser2net (RFC 2217 over loopback), and
// through ser2net over TLS, block by block.
bool measureRemote(const QString& device, const QString& plainUrl, const QString& tlsUrl,
                   const j4::TlsSettings& tls, Series& direct, Series& remote, Series& secure) {
    for (int done = 0; done < 1000; done += kBlock) {
        j4::TtyLink local;
        if (local.open(device.toStdString()) != j4::LinkError::None ||
            !timeBlock(direct, [&local] { return linkRoundTrip(local); }))
            return false;
        local.close();
        if (!remoteBlock(plainUrl, {}, remote) || !remoteBlock(tlsUrl, tls, secure))
            return false;
    }
    return true;
}

void report(const char* responder, const Series& raw, const Series& viaLink) {
    const double rawMedian = median(raw.micros);
    const double linkMedian = median(viaLink.micros);
    // Medians over blocks: a block that another process slowed down does
    // not tip the figure.
    const double rawCpu = median(raw.cpuPerBlock);
    const double linkCpu = median(viaLink.cpuPerBlock);
    std::vector<double> pairRatios;
    for (std::size_t i = 0; i < raw.cpuPerBlock.size(); ++i)
        pairRatios.push_back(viaLink.cpuPerBlock[i] / raw.cpuPerBlock[i]);
    std::printf("against %s:\n", responder);
    std::printf("  minimal C loop: median %.1f us, CPU %.2f us per round trip\n", rawMedian,
                rawCpu);
    std::printf("  serial link:    median %.1f us, CPU %.2f us per round trip\n", linkMedian,
                linkCpu);
    std::printf(
        "  ratios link/minimal: turnaround %.2f (target <= 1.1), CPU %.2f (target <= 1.2)\n",
        linkMedian / rawMedian, median(pairRatios));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    pin(0, 0);
    QTemporaryDir dir;
    const QString trivialLink = dir.filePath(QStringLiteral("trivial"));
    QProcess trivial;
    trivial.start(QStringLiteral(J4_TRIVIAL_RESPONDER_PATH), {trivialLink});
    pin(static_cast<pid_t>(trivial.processId()), responderCpu());
    for (int i = 0; i < 200 && !QFileInfo::exists(trivialLink); ++i)
        QThread::msleep(5);

    Series trivialRaw, trivialLink_, devsimRaw, devsimLink;
    if (!measure(trivialLink, trivialRaw, trivialLink_))
        return std::fprintf(stderr, "round trips against the trivial responder failed\n"), 1;
    trivial.kill();
    trivial.waitForFinished();
    {
        j4::testing::DevSim device;
        pin(static_cast<pid_t>(device.processId()), responderCpu());
        if (!measure(device.device(), devsimRaw, devsimLink))
            return std::fprintf(stderr, "round trips against j4_devsim failed\n"), 1;
    }
    Series direct, remote, secure;
    {
        j4::testing::DevSim device;
        const j4::testing::TestCertificates certs;
        j4::testing::Ser2Net server(device.device());
        j4::testing::Ser2Net tlsServer(device.device(), QStringLiteral("127.0.0.1"),
                                       {certs.path(QStringLiteral("server.key")),
                                        certs.path(QStringLiteral("server.pem")),
                                        {}});
        const j4::TlsSettings tls{certs.path(QStringLiteral("ca.pem")).toStdString(), {}, {}};
        if (!measureRemote(device.device(), server.url(), tlsServer.url(), tls, direct, remote,
                           secure))
            return std::fprintf(stderr, "round trips through ser2net failed\n"), 1;
    }
    std::printf("round trips: %d each\n", kRoundTrips);
    report("the trivial C responder", trivialRaw, trivialLink_);
    report("j4_devsim", devsimRaw, devsimLink);
    std::printf("through ser2net (RFC 2217 on loopback), %zu round trips each:\n",
                remote.micros.size());
    std::printf("  direct pseudo-terminal: median %.1f us; through ser2net: median %.1f us; "
                "ratio %.2f\n",
                median(direct.micros), median(remote.micros),
                median(remote.micros) / median(direct.micros));
    std::printf("  over TLS (rfc2217s://): median %.1f us; ratio TLS/plain %.2f\n",
                median(secure.micros), median(secure.micros) / median(remote.micros));
    // What the simulator adds to an answer beyond the trivial responder, seen
    // by either host loop.
    std::printf("j4_devsim's own cost per answer (difference of medians): %.1f us by the "
                "minimal loop, %.1f us by the serial link (target < 10)\n",
                median(devsimRaw.micros) - median(trivialRaw.micros),
                median(devsimLink.micros) - median(trivialLink_.micros));
    return 0;
}
