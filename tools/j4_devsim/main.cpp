// j4_devsim: a simulated J4 device on a pseudo-terminal, for tests, benchmarks
// and for trying the updater without hardware.

#include "j4_version.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <random>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint8_t kAck = 0x11;
constexpr std::uint8_t kNak = 0x22;
constexpr long kByteTimeNs = 86806; // 10 bits at 115200 baud
// While the host has the port closed, how often to look for it to open again.
constexpr useconds_t kClosedPollUs = 1000;

const char kUsage[] = R"(Usage: j4_devsim --link PATH [options]

Stands in for a J4 device: opens a pseudo-terminal, links its device to PATH
(open PATH as the serial port), reads frames (two length bytes, high first,
then that many bytes) and answers each with 0x11 (accept) or 0x22 (reject).
Runs until SIGINT or SIGTERM, or until it hangs up. Transmissions are counted
from 1, resends included.

Options:
  --link PATH           where to put the symlink to the device (required)
  --capture FILE        write every accepted frame there, concatenated
  --summary FILE        write the summary line there on exit (it always goes
                        to standard error too)
  --reject K[,K...]     reject the K-th transmission(s)
  --answer BYTE[@K]     answer BYTE (e.g. 0x06) at transmission K, or at all
  --silent-from K       read but never answer from transmission K on
  --hangup-at K[:M]     hang up at transmission K after M of its bytes (0);
                        M at or past the frame's size: while the host waits
  --stall-at K[:M]      stop reading at transmission K after M of its bytes
                        (0), keeping the line open: the host's writes block
  --stray BYTES@K       send BYTES (e.g. 0x11 or 0x55,0x66) after the answer to
                        transmission K, 20 ms later unless --stray-delay-us
  --stray-delay-us US   how long after the answer the stray bytes follow; 0
                        sends them in the same write as the answer
  --delay-us US         wait before each answer (device processing time)
  --pace                pace the line at 115200 8N1: 86.8 us a byte, both ways
  --reject-prob P       reject each transmission with probability P
  --seed S              seed for --reject-prob (default 1)
  -v, --verbose         a line per transmission on standard error
  -V, --version         print the version
  -h, --help            this text

PATH must not exist, or be a symbolic link (one left by an earlier run):
anything else there is left alone and is an error.

The summary line: "transmissions=N accepts=N rejects=N".

Exit status:
  0    ended by SIGINT or SIGTERM, or by its own hang-up
  1    the pseudo-terminal, the link or the capture file could not be made
  2    usage error, or something other than a symbolic link at PATH

Environment:
  j4_devsim reads no environment variables.

Files:
  PATH             the symbolic link to the pseudo-terminal's device, removed
                   on exit while it still points there
  --capture FILE   the frames accepted, as the device would hold them

Examples:
  j4_devsim --link /tmp/j4dev & J4_PORTS=/tmp/j4dev j4_flash --port 1 fw.j4u
      A device on port 1 to try j4_flash on.
  j4_devsim --link /tmp/j4dev --reject 3 --delay-us 2000
      A slow device that rejects the third transmission once.
)";

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) {
    stopRequested = 1;
}

struct Options {
    std::string link;
    std::string capture;
    std::string summary;
    std::set<long> rejects;
    std::map<long, int> answerAt;
    std::optional<int> answerAll;
    long silentFrom = 0;
    long hangupAt = 0;
    long hangupAfterBytes = 0;
    long stallAt = 0;
    long stallAfterBytes = 0;
    bool verbose = false;
    std::map<long, std::vector<std::uint8_t>> strayAt;
    long strayDelayUs = 20000;
    long delayUs = 0;
    bool pace = false;
    double rejectProbability = 0;
    unsigned seed = 1;
};

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "j4_devsim: %s\n(try --help)\n", message.c_str());
    std::exit(2);
}

long parseNumber(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0)
        usageError(std::string("bad ") + what + ": " + text);
    return value;
}

// A probability from 0 to 1, written whole: "abc" or "0.5x" is no number.
double parseProbability(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(value >= 0.0 && value <= 1.0))
        usageError("bad probability (0 to 1): " + text);
    return value;
}

int parseByte(const std::string& text) {
    const long value = parseNumber(text, "byte");
    if (value > 255)
        usageError("byte out of range: " + text);
    return static_cast<int>(value);
}

// "A,B,C" -> {A, B, C}, up to `end`.
std::vector<std::string> splitList(const std::string& text, std::size_t end) {
    std::vector<std::string> items;
    const std::string list = text.substr(0, end);
    std::size_t start = 0;
    for (;;) {
        const auto comma = list.find(',', start);
        items.push_back(list.substr(start, comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

// "K[:M]" -> (K, M); M is 0 when absent.
std::pair<long, long> parseAtBytes(const std::string& text) {
    const auto colon = text.find(':');
    const long k = parseNumber(text.substr(0, colon), "transmission");
    return {k, colon == std::string::npos ? 0 : parseNumber(text.substr(colon + 1), "byte count")};
}

// "BYTE@K" -> (byte, K); K is 0 when absent.
std::pair<int, long> parseByteAt(const std::string& text) {
    const auto at = text.find('@');
    if (at == std::string::npos)
        return {parseByte(text), 0};
    return {parseByte(text.substr(0, at)), parseNumber(text.substr(at + 1), "transmission")};
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h" || arg == "--version" || arg == "-V") {
            // Alone, or it would pass for a device that served.
            if (argc != 2)
                usageError(arg + " goes alone");
            if (arg == "--help" || arg == "-h")
                std::fputs(kUsage, stdout);
            else
                std::printf("j4_devsim %s\n", j4::kVersion);
            std::exit(0);
        } else if (arg == "--verbose" || arg == "-v") {
            o.verbose = true;
        } else if (arg == "--link") {
            o.link = value();
        } else if (arg == "--capture") {
            o.capture = value();
        } else if (arg == "--summary") {
            o.summary = value();
        } else if (arg == "--reject") {
            for (const std::string& k : splitList(value(), std::string::npos))
                o.rejects.insert(parseNumber(k, "transmission"));
        } else if (arg == "--answer") {
            const auto [byte, k] = parseByteAt(value());
            if (k == 0)
                o.answerAll = byte;
            else
                o.answerAt[k] = byte;
        } else if (arg == "--silent-from") {
            o.silentFrom = parseNumber(value(), "transmission");
        } else if (arg == "--hangup-at") {
            std::tie(o.hangupAt, o.hangupAfterBytes) = parseAtBytes(value());
        } else if (arg == "--stall-at") {
            std::tie(o.stallAt, o.stallAfterBytes) = parseAtBytes(value());
        } else if (arg == "--stray") {
            const std::string v = value();
            const auto at = v.find('@');
            if (at == std::string::npos)
                usageError("--stray takes BYTES@K");
            auto& bytes = o.strayAt[parseNumber(v.substr(at + 1), "transmission")];
            for (const std::string& byte : splitList(v, at))
                bytes.push_back(static_cast<std::uint8_t>(parseByte(byte)));
        } else if (arg == "--stray-delay-us") {
            o.strayDelayUs = parseNumber(value(), "delay");
        } else if (arg == "--delay-us") {
            o.delayUs = parseNumber(value(), "delay");
        } else if (arg == "--pace") {
            o.pace = true;
        } else if (arg == "--reject-prob") {
            o.rejectProbability = parseProbability(value());
        } else if (arg == "--seed") {
            o.seed = static_cast<unsigned>(parseNumber(value(), "seed"));
        } else {
            usageError("unknown option " + arg);
        }
    }
    if (o.link.empty())
        usageError("--link PATH is required");
    return o;
}

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

class Device {
public:
    explicit Device(Options options) : o_(std::move(options)), random_(o_.seed) {}

    int run() {
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

private:
    bool openPty() {
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

    // Removes the link only while it still points at our device.
    void removeLink() {
        char target[4096];
        const ssize_t n = ::readlink(o_.link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slaveName_)
            ::unlink(o_.link.c_str());
    }

    void serve() {
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

    void take(std::uint8_t byte, std::int64_t arrivedNs) {
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

    void answer() {
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

    void hangUp() {
        hungUp_ = true;
        ::close(master_);
        master_ = -1;
    }

    void finish() {
        if (capture_)
            std::fclose(capture_);
        removeLink();
        char line[128];
        std::snprintf(line, sizeof line, "transmissions=%ld accepts=%ld rejects=%ld\n",
                      transmissions_, accepts_, rejects_);
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

    Options o_;
    std::mt19937 random_;
    int master_ = -1;
    std::string slaveName_;
    std::FILE* capture_ = nullptr;
    std::vector<std::uint8_t> frame_;
    long transmissions_ = 0;
    long accepts_ = 0;
    long rejects_ = 0;
    std::int64_t frameStartNs_ = 0;
    std::int64_t lineFreeNs_ = 0;
    bool hungUp_ = false;
    bool stalled_ = false;
};

} // namespace

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
    // The smallest timer slack, so a paced answer leaves when it is due and
    // not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return Device(std::move(options)).run();
}
