#include "options.h"

#include "j4_version.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace j4::devsim {
namespace {

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

Result<long> number(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0)
        return fail(std::string("bad ") + what + ": " + text);
    return value;
}

// A probability from 0 to 1, written whole: "abc" or "0.5x" is no number.
Result<double> probability(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(value >= 0.0 && value <= 1.0))
        return fail("bad probability (0 to 1): " + text);
    return value;
}

Result<long> byte(const std::string& text) {
    auto value = number(text, "byte");
    if (value && *value > 255)
        return fail("byte out of range: " + text);
    return value;
}

// "A,B,C" -> {A, B, C}.
std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const auto comma = list.find(',', start);
        items.push_back(list.substr(start, comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

// Each option's value taken into the options; the reason when it is bad.
using Taker = std::function<Result<Done>(const std::string& value, Options&)>;

// "K[:M]" into a transmission and a byte count (0 when absent).
Taker atBytes(long Options::*at, long Options::*bytes) {
    return [=](const std::string& text, Options& o) -> Result<Done> {
        const auto colon = text.find(':');
        const auto k = number(text.substr(0, colon), "transmission");
        const auto m = colon == std::string::npos ? Result<long>(0)
                                                  : number(text.substr(colon + 1), "byte count");
        if (!k || !m)
            return fail(!k ? k.error() : m.error());
        o.*at = *k;
        o.*bytes = *m;
        return Done{};
    };
}

Taker numberInto(long Options::*field, const char* what) {
    return [=](const std::string& text, Options& o) -> Result<Done> {
        const auto value = number(text, what);
        if (!value)
            return fail(value.error());
        o.*field = *value;
        return Done{};
    };
}

Result<Done> takeRejects(const std::string& text, Options& o) {
    for (const std::string& k : splitList(text)) {
        const auto value = number(k, "transmission");
        if (!value)
            return fail(value.error());
        o.rejects.insert(*value);
    }
    return Done{};
}

// "BYTE@K", or BYTE for every transmission.
Result<Done> takeAnswer(const std::string& text, Options& o) {
    const auto at = text.find('@');
    const auto reply = byte(text.substr(0, at));
    const auto k =
        at == std::string::npos ? Result<long>(0) : number(text.substr(at + 1), "transmission");
    if (!reply || !k)
        return fail(!reply ? reply.error() : k.error());
    if (*k == 0)
        o.answerAll = static_cast<int>(*reply);
    else
        o.answerAt[*k] = static_cast<int>(*reply);
    return Done{};
}

// "BYTES@K": bytes sent after the answer to transmission K.
Result<Done> takeStray(const std::string& text, Options& o) {
    const auto at = text.find('@');
    if (at == std::string::npos)
        return fail("--stray takes BYTES@K");
    const auto k = number(text.substr(at + 1), "transmission");
    if (!k)
        return fail(k.error());
    std::vector<std::uint8_t> bytes;
    for (const std::string& item : splitList(text.substr(0, at))) {
        const auto value = byte(item);
        if (!value)
            return fail(value.error());
        bytes.push_back(static_cast<std::uint8_t>(*value));
    }
    o.strayAt[*k] = std::move(bytes);
    return Done{};
}

Result<Done> takeProbability(const std::string& text, Options& o) {
    const auto value = probability(text);
    if (!value)
        return fail(value.error());
    o.rejectProbability = *value;
    return Done{};
}

Result<Done> takeSeed(const std::string& text, Options& o) {
    const auto value = number(text, "seed");
    if (!value)
        return fail(value.error());
    o.seed = static_cast<unsigned>(*value);
    return Done{};
}

Taker textInto(std::string Options::*field) {
    return [=](const std::string& text, Options& o) -> Result<Done> {
        o.*field = text;
        return Done{};
    };
}

struct ValueOption {
    QCommandLineOption option;
    Taker take;
};

std::vector<ValueOption> valueOptions() {
    const auto with = [](const char* name) { return QCommandLineOption(name, {}, "VALUE"); };
    return {{with("link"), textInto(&Options::link)},
            {with("capture"), textInto(&Options::capture)},
            {with("summary"), textInto(&Options::summary)},
            {with("reject"), takeRejects},
            {with("answer"), takeAnswer},
            {with("silent-from"), numberInto(&Options::silentFrom, "transmission")},
            {with("hangup-at"), atBytes(&Options::hangupAt, &Options::hangupAfterBytes)},
            {with("stall-at"), atBytes(&Options::stallAt, &Options::stallAfterBytes)},
            {with("stray"), takeStray},
            {with("stray-delay-us"), numberInto(&Options::strayDelayUs, "delay")},
            {with("delay-us"), numberInto(&Options::delayUs, "delay")},
            {with("reject-prob"), takeProbability},
            {with("seed"), takeSeed}};
}

Command usageError(const std::string& reason) {
    std::fprintf(stderr, "j4_devsim: %s\n(try --help)\n", reason.c_str());
    return {std::nullopt, 2};
}

} // namespace

Command readCommandLine(int argc, char** argv) {
    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, {});
    const QCommandLineOption version({"V", "version"}, {});
    const QCommandLineOption verbose({"v", "verbose"}, {});
    const QCommandLineOption pace("pace", {});
    const std::vector<ValueOption> values = valueOptions();
    parser.addOptions({help, version, verbose, pace});
    for (const ValueOption& value : values)
        parser.addOption(value.option);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(arguments))
        return usageError(parser.errorText().toStdString());
    if (!parser.positionalArguments().isEmpty())
        return usageError("unknown argument " + parser.positionalArguments().first().toStdString());
    for (const auto& [option, name] :
         {std::pair{&help, "--help"}, std::pair{&version, "--version"}}) {
        if (!parser.isSet(*option))
            continue;
        // Alone, or it would pass for a device that served.
        if (argc != 2)
            return usageError(std::string(name) + " goes alone");
        if (option == &help)
            std::fputs(kUsage, stdout);
        else
            std::printf("j4_devsim %s\n", j4::kVersion);
        return {std::nullopt, 0};
    }
    Options o;
    o.verbose = parser.isSet(verbose);
    o.pace = parser.isSet(pace);
    for (const ValueOption& value : values)
        for (const QString& text : parser.values(value.option))
            if (const auto taken = value.take(text.toLocal8Bit().toStdString(), o); !taken)
                return usageError(taken.error());
    if (o.link.empty())
        return usageError("--link PATH is required");
    return {std::move(o), 0};
}

} // namespace j4::devsim
