#include "flash_options.h"

#include "flash_help.h"
#include "station_options.h"

#include <QCommandLineParser>

#include <tuple>

namespace j4::cli {
namespace {

struct Parser {
    QCommandLineParser parser;
    options::DeviceOptions devices;
    options::StationOptions station;
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{{"V", "version"}, "Show the version and exit."};
    QCommandLineOption check{"check", "Decode and validate FILE only; print its frames and bytes."};
    QCommandLineOption imageOut{"image-out", "With --check: write the decoded image to PATH.",
                                "PATH"};
    QCommandLineOption list{"list-ports", "List the numbered serial ports."};
    QCommandLineOption portsFile{"ports-file",
                                 "With --list-ports: print a ports file pinning the adapters "
                                 "present now to their USB sockets."};
    QCommandLineOption watch{"watch", "A station: update each device plugged into a slot, once, "
                                      "until stopped."};
    QCommandLineOption quiet{{"q", "quiet"}, "No progress."};
    QCommandLineOption verbose{{"v", "verbose"},
                               "A line per transmission: device, frame, offset, size, answer, "
                               "rejects, milliseconds to the answer."};
    QCommandLineOption json{"json",
                            "Events as JSON, a line each, on standard output; the lines for "
                            "people on standard error."};
    QCommandLineOption sendRecords{"send-records",
                                   "Send the records of the log LOG to the --records database, "
                                   "and nothing else.",
                                   "LOG"};

    Parser() {
        parser.setApplicationDescription(QString::fromLatin1(kFlashDescription));
        parser.addOptions({help, version, check, imageOut, devices.port, devices.device,
                           devices.serial, watch, list, portsFile, quiet, verbose, json,
                           sendRecords, devices.expectSha256});
        parser.addOptions(station.all());
        parser.addPositionalArgument("FILE", "The update file.",
                                     "{--port N | --device PATH | --serial SN}... FILE");
    }
};

using Action = FlashOptions::Action;

// --help, --version, --list-ports: alone, or a script could take the exit
// status 0 for an update. Nothing when none is asked.
std::optional<Result<Action>> aloneAction(const Parser& p) {
    const QCommandLineParser& parser = p.parser;
    QStringList others = parser.optionNames();
    others.removeAll(QStringLiteral("ports-file"));
    others.removeAll(QStringLiteral("json"));
    const bool alone = others.size() == 1 && parser.positionalArguments().isEmpty();
    for (const auto& [option, name, what] :
         {std::tuple{&p.help, "--help", Action::Help},
          std::tuple{&p.version, "--version", Action::Version},
          std::tuple{&p.list, "--list-ports", Action::ListPorts}}) {
        if (!parser.isSet(*option))
            continue;
        if (alone && (what == Action::ListPorts || !parser.isSet(p.portsFile)))
            return Result<Action>(what);
        return Result<Action>(fail(std::string(name) + " goes alone"));
    }
    return std::nullopt;
}

// The action alone, or the reason it is a usage error.
Result<Action> action(const Parser& p) {
    if (auto alone = aloneAction(p))
        return *alone;
    const QCommandLineParser& parser = p.parser;
    const bool named = p.devices.named(parser);
    if (parser.isSet(p.portsFile))
        return fail("--ports-file goes with --list-ports");
    if (parser.isSet(p.sendRecords)) {
        if (named || !parser.positionalArguments().isEmpty() || parser.isSet(p.watch) ||
            parser.isSet(p.check))
            return fail("--send-records LOG takes no update file, slots, --watch or --check");
        return Action::SendRecords;
    }
    // A station that follows its line is sent what the plant assigns it.
    const bool following = parser.isSet(p.station.line);
    if (following && !parser.positionalArguments().isEmpty())
        return fail("--line sends what the plant assigns the line: name no update file");
    if (!following && parser.positionalArguments().size() != 1)
        return fail("name exactly one update file");
    if (parser.isSet(p.watch) && (parser.isSet(p.check) || !named))
        return fail("--watch needs slots (--port, --device, --serial) and no --check");
    if (parser.isSet(p.watch))
        return Action::Watch;
    auto stationOnly = p.station.stationOnly();
    for (const QCommandLineOption* option : stationOnly)
        if (parser.isSet(*option))
            return fail("--" + option->names().last().toStdString() + " goes with --watch");
    if (parser.isSet(p.check))
        return Action::Check;
    if (parser.isSet(p.imageOut))
        return fail("--image-out goes with --check");
    if (!named)
        return fail("give --port N, --device PATH or --serial SN");
    return Action::Update;
}

// Where a station's scans come from.
Result<Done> unitOptions(FlashOptions& options) {
    if (options.station.unitsFrom == "-" && options.file == "-")
        return fail("FILE - and --units - both want standard input");
    if (options.station.requireUnit && options.station.unitsFrom.empty())
        return fail("--require-unit needs the units' scans: --units - (standard input), or "
                    "--units PATH (a FIFO, a file, a serial scanner's port)");
    return Done{};
}

// Standard output has one reader: the events, the log, or the lines.
Result<Done> outputOptions(const Parser& p, FlashOptions& options) {
    options.json = p.parser.isSet(p.json);
    if (options.json && options.portsFile)
        return fail("--json goes with updates, --watch, --check and --list-ports, not "
                    "--ports-file");
    if (options.station.logPath == "-" && options.json)
        return fail("--log - and --json both want standard output");
    if (options.station.logPath == "-" && !options.station.recordsUrl.empty())
        return fail("--records keeps its records in a log file first: give --log FILE, not -");
    return Done{};
}

Result<FlashOptions> read(const Parser& p, const options::RawArguments& raw) {
    FlashOptions options;
    const auto chosen = action(p);
    const auto pinned = p.devices.pinnedSha256(p.parser);
    const auto station = p.station.read(p.parser, raw);
    for (const std::string* error :
         {chosen ? nullptr : &chosen.error(), pinned ? nullptr : &pinned.error(),
          station ? nullptr : &station.error()})
        if (error != nullptr)
            return fail(*error);
    if (*chosen == Action::SendRecords && station->recordsUrl.empty())
        return fail("--send-records LOG needs --records URI (or J4_RECORDS)");
    options.action = *chosen;
    options.expectedSha256 = *pinned;
    options.station = std::move(*station);
    options.sendLog = raw.bytesOf(p.parser.value(p.sendRecords));
    if (!p.parser.positionalArguments().isEmpty())
        options.file = raw.bytesOf(p.parser.positionalArguments().first());
    options.imageOut = raw.bytesOf(p.parser.value(p.imageOut));
    options.targets = p.devices.names(p.parser, raw);
    options.portsFile = p.parser.isSet(p.portsFile);
    options.quiet = p.parser.isSet(p.quiet);
    options.verbose = p.parser.isSet(p.verbose);
    if (auto units = unitOptions(options); !units)
        return fail(units.error());
    if (auto streams = outputOptions(p, options); !streams)
        return fail(streams.error());
    return options;
}

} // namespace

Result<FlashOptions> parseFlashOptions(const options::RawArguments& given) {
    Parser first;
    std::optional<options::RawArguments> merged;
    if (first.parser.parse(given.decoded()) && first.parser.isSet(first.station.profile)) {
        if (!first.parser.isSet(first.watch))
            return fail("--profile goes with --watch");
        auto arguments = first.station.withProfile(first.parser, given);
        if (!arguments)
            return fail(arguments.error());
        merged.emplace(std::move(*arguments));
    }
    const options::RawArguments& raw = merged ? *merged : given;
    Parser p;
    if (!p.parser.parse(raw.decoded())) {
        std::string error = p.parser.errorText().toStdString();
        // Other flashers' habits: -p PORT (avrdude), -p/-P (esptool, stm32flash).
        const QStringList unknown = p.parser.unknownOptionNames();
        if (unknown.contains(QStringLiteral("p")) || unknown.contains(QStringLiteral("P")))
            error += " For a port, give --port N (a number) or --device PATH.";
        return fail(std::move(error));
    }
    return read(p, raw);
}

std::string flashHelp() {
    return Parser().parser.helpText().toStdString() + kFlashEpilogue;
}

std::string flashUsage() {
    const QString help = Parser().parser.helpText();
    return help.left(help.indexOf(QStringLiteral("\n\n"))).toStdString();
}

} // namespace j4::cli
