#include "device.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace j4::devsim {

volatile std::sig_atomic_t stopRequested = 0;

namespace {

constexpr std::uint8_t kAck = 0x11;
constexpr std::uint8_t kNak = 0x22;
constexpr long kByteTimeNs = 86806; // 10 bits at 115200 baud
// While the host has the port closed, how often to look for it to open again.
constexpr useconds_t kClosedPollUs = 1000;

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// A deadline already past costs nothing: sleeping for it would still cost the
// kernel's timer slack on every answer.
void sleepUntil(std::int64_t ns) {
    if (ns <= nowNs())
        return;
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR &&
           !stopRequested) {
    }
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

int Device::run() {
    if (!openPty())
        return 1;
    if (!o_.capture.empty()) {
        capture_ = std::fopen(o_.capture.c_str(), "wb");
        if (!capture_) {
            std::perror("j4_devsim: capture file");
            return 1;
        }
    }
    std::printf("j4_devsim: serving on %s (%s)\n", o_.link.c_str(), slaveName_.c_str());
    std::fflush(stdout);
    serve();
    finish();
    return 0;
}

bool Device::openPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        std::perror("j4_devsim: pseudo-terminal");
        return false;
    }
    slaveName_ = ptsname(master_);
    // The line's settings belong to the pair, not to an open descriptor.
    // The device side is not kept open: a program holding a port is what
    // an updater must refuse, and a real device holds nothing either.
    termios raw{};
    if (tcgetattr(master_, &raw) != 0) {
        std::perror("j4_devsim: device side");
        return false;
    }
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(master_, TCSANOW, &raw);
    // Only a symbolic link (ours, from an earlier run) is replaced: a file
    // named by mistake is never deleted.
    struct stat there {};
    if (::lstat(o_.link.c_str(), &there) == 0) {
        if (!S_ISLNK(there.st_mode)) {
            std::fprintf(stderr,
                         "j4_devsim: %s exists and is not a symbolic link; "
                         "name another path or remove it\n",
                         o_.link.c_str());
            std::exit(2);
        }
        ::unlink(o_.link.c_str());
    }
    if (::symlink(slaveName_.c_str(), o_.link.c_str()) != 0) {
        std::perror("j4_devsim: link");
        return false;
    }
    return true;
}

void Device::removeLink() {
    char target[4096];
    const ssize_t n = ::readlink(o_.link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slaveName_)
        ::unlink(o_.link.c_str());
}

void Device::serve() {
    std::uint8_t chunk[4096];
    while (!stopRequested && !hungUp_) {
        if (stalled_) {
            // Reads nothing more: what the host writes piles up until
            // its writes can go no further.
            ::usleep(100000);
            continue;
        }
        pollfd p{master_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready <= 0)
            continue;
        if ((p.revents & POLLIN) == 0) {
            // Nobody has the port open: wait for the host to open it.
            ::usleep(kClosedPollUs);
            continue;
        }
        const ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EIO))
                continue; // EIO: the host closed the port after its last bytes
            break;
        }
        const std::int64_t arrived = nowNs();
        for (ssize_t i = 0; i < n && !hungUp_ && !stalled_; ++i)
            take(chunk[i], arrived);
    }
}

void Device::take(std::uint8_t byte, std::int64_t arrivedNs) {
    if (frame_.empty()) {
        ++transmissions_;
        // The line is a queue: this frame starts when its first byte is
        // seen or when the previous answer has left, whichever is later.
        frameStartNs_ = std::max(arrivedNs, lineFreeNs_);
    }
    if (o_.hangupAt != 0 && transmissions_ == o_.hangupAt &&
        static_cast<long>(frame_.size()) >= o_.hangupAfterBytes) {
        hangUp();
        return;
    }
    if (o_.stallAt != 0 && transmissions_ == o_.stallAt &&
        static_cast<long>(frame_.size()) >= o_.stallAfterBytes) {
        stalled_ = true;
        return;
    }
    frame_.push_back(byte);
    if (frame_.size() < 2)
        return;
    const std::size_t wanted = std::size_t{frame_[0]} * 256 + frame_[1] + 2;
    if (frame_.size() < wanted)
        return;
    if (o_.hangupAt != 0 && transmissions_ == o_.hangupAt &&
        static_cast<long>(frame_.size()) <= o_.hangupAfterBytes) {
        // The whole frame came in: hang up while the host waits.
        hangUp();
        return;
    }
    answer();
    frame_.clear();
}

void Device::answer() {
    const long k = transmissions_;
    bool accept = o_.rejects.count(k) == 0;
    if (accept && o_.rejectProbability > 0) {
        std::uniform_real_distribution<double> draw(0.0, 1.0);
        accept = draw(random_) >= o_.rejectProbability;
    }
    int reply = accept ? kAck : kNak;
    if (auto it = o_.answerAt.find(k); it != o_.answerAt.end())
        reply = it->second;
    else if (o_.answerAll)
        reply = *o_.answerAll;

    std::int64_t due = nowNs();
    if (o_.pace)
        due = frameStartNs_ + static_cast<std::int64_t>(frame_.size()) * kByteTimeNs;
    due += o_.delayUs * 1000;
    if (o_.silentFrom != 0 && k >= o_.silentFrom) {
        lineFreeNs_ = due;
        return;
    }
    if (reply == kAck) {
        ++accepts_;
        if (capture_) {
            std::fwrite(frame_.data(), 1, frame_.size(), capture_);
            std::fflush(capture_);
        }
    } else if (reply == kNak) {
        ++rejects_;
    }
    if (o_.pace) {
        // The answer is at the host once its last bit has crossed the line.
        due += kByteTimeNs;
    }
    sleepUntil(due);
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(reply)};
    const auto stray = o_.strayAt.find(k);
    if (stray != o_.strayAt.end() && o_.strayDelayUs == 0)
        out.insert(out.end(), stray->second.begin(), stray->second.end());
    writeAll(master_, out.data(), out.size());
    if (o_.verbose)
        std::fprintf(stderr, "j4_devsim: transmission %ld, %zu bytes, answer 0x%02X\n", k,
                     frame_.size(), reply);
    if (stray != o_.strayAt.end() && o_.strayDelayUs > 0) {
        // Later, as a glitching device would, so that it is not read in
        // the same gulp as the answer.
        due += o_.strayDelayUs * 1000;
        sleepUntil(due);
        writeAll(master_, stray->second.data(), stray->second.size());
    }
    lineFreeNs_ = due;
}

void Device::hangUp() {
    hungUp_ = true;
    ::close(master_);
    master_ = -1;
}

void Device::finish() {
    if (capture_)
        std::fclose(capture_);
    removeLink();
    char line[128];
    std::snprintf(line, sizeof line, "transmissions=%ld accepts=%ld rejects=%ld\n", transmissions_,
                  accepts_, rejects_);
    std::fputs(line, stderr);
    if (!o_.summary.empty()) {
        if (std::FILE* f = std::fopen(o_.summary.c_str(), "w")) {
            std::fputs(line, f);
            std::fclose(f);
        }
    }
    if (master_ >= 0)
        ::close(master_);
}

} // namespace j4::devsim
