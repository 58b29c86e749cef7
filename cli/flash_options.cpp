#include "flash_options.h"

#include "flash_help.h"
#include "log_writer.h"
#include "record_database.h"
#include "record_keeping.h"
#include "station_profile.h"
#include "unit_scans.h"

#include <QCommandLineParser>

#include <tuple>

namespace j4::cli {
namespace {

struct Parser {
    QCommandLineParser parser;
    runs::DeviceOptions devices;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version{{"V", "version"}, "Print the version."};
    QCommandLineOption check{"check", "Decode and validate FILE only; print its frames and bytes."};
    QCommandLineOption imageOut{"image-out", "With --check: write the decoded image to PATH.",
                                "PATH"};
    QCommandLineOption timeout{"timeout",
                               QStringLiteral("Answer time-out in milliseconds (default %1).")
                                   .arg(SerialLink::kDefaultAnswerTimeout.count()),
                               "MS"};
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
    QCommandLineOption log{"log", "Append a JSON line per attempt to FILE (- for standard output).",
                           "FILE"};
    QCommandLineOption json{"json",
                            "Events as JSON, a line each, on standard output; the lines for "
                            "people on standard error."};
    QCommandLineOption stationId{"station-id",
                                 "The station's name in every record (default: J4_STATION_ID, "
                                 "else the host's name).",
                                 "NAME"};
    QCommandLineOption metrics{"metrics",
                               "Keep the station's state in FILE for Prometheus' node exporter "
                               "(its textfile collector).",
                               "FILE"};
    QCommandLineOption records{"records",
                               "Send every attempt's record to the PostgreSQL database at URI "
                               "(default: J4_RECORDS), through the log.",
                               "URI"};
    QCommandLineOption sendRecords{"send-records",
                                   "Send the records of the log LOG to the --records database, "
                                   "and nothing else.",
                                   "LOG"};
    QCommandLineOption profile{"profile",
                               "A station: its set-up from FILE (an INI file); options given "
                               "beside it override it.",
                               "FILE"};
    QCommandLineOption settle{"settle",
                              "A station: wait MS after a device appears before its first "
                              "frame (default 0).",
                              "MS"};
    QCommandLineOption units{"units",
                             "A station: read the units' serial numbers from standard input "
                             "(-), a line each, for the next device plugged in.",
                             "-"};
    QCommandLineOption unitRule{"unit-rule", "A unit serial must match the regular expression RE.",
                                "RE"};
    QCommandLineOption requireUnit{"require-unit",
                                   "A device plugged in without a scanned unit waits for one."};
    QCommandLineOption onResult{"on-result",
                                "A station: run CMD after each attempt, the result in its "
                                "environment (J4_RESULT, J4_SLOT, ...).",
                                "CMD"};
    QCommandLineOption operatorName{
        "operator", "Who runs the updates, in every record (default: the login).", "NAME"};
    QCommandLineOption tlsCa{"tls-ca",
                             "rfc2217s:// ports: the authority that signed the servers' "
                             "certificates (default: the system's).",
                             "FILE"};
    QCommandLineOption tlsCert{"tls-cert",
                               "rfc2217s:// ports: the client certificate, for servers that "
                               "ask for one.",
                               "FILE"};
    QCommandLineOption tlsKey{"tls-key", "rfc2217s:// ports: the client certificate's key.",
                              "FILE"};
    QCommandLineOption trustKey{"trust-key",
                                "Trust the minisign public key in FILE, besides the trusted-keys "
                                "folders: then only files it signed are sent.",
                                "FILE"};
    QCommandLineOption requireSignature{
        "require-signature", "Refuse to run unless a trusted key is known (fail closed)."};
    QCommandLineOption signature{"signature",
                                 "FILE's minisign signature is SIG (default FILE.minisig).", "SIG"};
    QCommandLineOption minVersion{
        "min-version", "Refuse a signed FILE whose release version is below X.Y.Z, or has none.",
        "X.Y.Z"};

    Parser() {
        parser.setApplicationDescription(QString::fromLatin1(kFlashDescription));
        parser.addOptions({version,
                           check,
                           imageOut,
                           devices.port,
                           devices.device,
                           devices.serial,
                           watch,
                           timeout,
                           list,
                           portsFile,
                           quiet,
                           verbose,
                           log,
                           json,
                           stationId,
                           operatorName,
                           metrics,
                           records,
                           sendRecords,
                           profile,
                           settle,
                           units,
                           unitRule,
                           requireUnit,
                           onResult,
                           tlsCa,
                           tlsCert,
                           tlsKey,
                           devices.expectSha256,
                           trustKey,
                           requireSignature,
                           signature,
                           minVersion});
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
    // Listed by Qt beside --help: the same help, Qt's own options being none
    // of this program's business.
    if (parser.isSet(QStringLiteral("help-all")))
        return alone ? Result<Action>(Action::Help) : Result<Action>(fail("--help-all goes alone"));
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
    if (parser.positionalArguments().size() != 1)
        return fail("name exactly one update file");
    if (parser.isSet(p.watch) && (parser.isSet(p.check) || !named))
        return fail("--watch needs slots (--port, --device, --serial) and no --check");
    if (parser.isSet(p.watch))
        return Action::Watch;
    for (const QCommandLineOption* stationOnly :
         {&p.profile, &p.settle, &p.units, &p.unitRule, &p.requireUnit, &p.onResult})
        if (parser.isSet(*stationOnly))
            return fail("--" + stationOnly->names().last().toStdString() + " goes with --watch");
    if (parser.isSet(p.check))
        return Action::Check;
    if (parser.isSet(p.imageOut))
        return fail("--image-out goes with --check");
    if (!named)
        return fail("give --port N, --device PATH or --serial SN");
    return Action::Update;
}

Result<std::chrono::milliseconds> answerTimeout(const Parser& p) {
    if (!p.parser.isSet(p.timeout))
        return SerialLink::kDefaultAnswerTimeout;
    bool ok = false;
    const int ms = p.parser.value(p.timeout).toInt(&ok);
    if (!ok || ms <= 0)
        return fail("--timeout takes a positive number of milliseconds");
    return std::chrono::milliseconds{ms};
}

// Each TLS file as given, else as the environment names it.
TlsSettings tlsFiles(const Parser& p, const runs::RawArguments& raw) {
    TlsSettings tls = TlsSettings::fromEnvironment();
    for (const auto& [option, field] :
         {std::pair{&p.tlsCa, &tls.caFile}, std::pair{&p.tlsCert, &tls.certFile},
          std::pair{&p.tlsKey, &tls.keyFile}})
        if (p.parser.isSet(*option))
            *field = raw.bytesOf(p.parser.value(*option));
    return tls;
}

Result<runs::ReleaseOptions> releaseOptions(const Parser& p, const runs::RawArguments& raw) {
    runs::ReleaseOptions release;
    for (const QString& file : p.parser.values(p.trustKey))
        release.trustKeyFiles.push_back(raw.bytesOf(file));
    release.requireSignature = p.parser.isSet(p.requireSignature);
    if (p.parser.isSet(p.signature))
        release.signatureFile = raw.bytesOf(p.parser.value(p.signature));
    if (p.parser.isSet(p.minVersion)) {
        release.minVersion = runs::parseVersion(p.parser.value(p.minVersion).toStdString());
        if (!release.minVersion)
            return fail("--min-version takes a release version: X.Y.Z, as 1.4.0");
    }
    return release;
}

// The records database, as given or as J4_RECORDS names it; checked now, so
// that a station never starts with a database it could never reach.
Result<std::string> recordsAddress(const Parser& p, Action action) {
    const std::string url = p.parser.isSet(p.records) ? p.parser.value(p.records).toStdString()
                                                      : runs::recordsFromEnvironment();
    if (url.empty() && action == Action::SendRecords)
        return fail("--send-records LOG needs --records URI (or J4_RECORDS)");
    if (url.empty())
        return url;
    if (auto usable = runs::checkRecordsAddress(url); !usable)
        return fail(usable.error());
    return url;
}

// The station's line: settle, units, hook. Checked before any slot watches.
Result<Done> lineOptions(const Parser& p, const runs::RawArguments& raw, FlashOptions& options) {
    const QCommandLineParser& parser = p.parser;
    if (parser.isSet(p.settle)) {
        bool ok = false;
        const int ms = parser.value(p.settle).toInt(&ok);
        if (!ok || ms < 0 || ms > 60000)
            return fail("--settle takes milliseconds, 0 to 60000");
        options.settle = std::chrono::milliseconds{ms};
    }
    if (parser.isSet(p.units) && parser.value(p.units) != "-")
        return fail("--units takes - (standard input)");
    options.unitsFromInput = parser.isSet(p.units);
    if (options.unitsFromInput && options.file == "-")
        return fail("FILE - and --units - both want standard input");
    options.unitRule = parser.value(p.unitRule).toStdString();
    if (auto rule = runs::UnitScans::withRule(options.unitRule); !rule)
        return fail(rule.error());
    options.requireUnit = parser.isSet(p.requireUnit);
    if (options.requireUnit && !options.unitsFromInput)
        return fail("--require-unit needs the units: --units -");
    options.onResult = raw.bytesOf(parser.value(p.onResult));
    return Done{};
}

// Standard output has one reader: the events, the log, or the lines.
Result<Done> outputOptions(const Parser& p, FlashOptions& options) {
    options.json = p.parser.isSet(p.json);
    if (options.json && options.portsFile)
        return fail("--json goes with updates, --watch, --check and --list-ports, not "
                    "--ports-file");
    if (options.logPath == "-" && options.json)
        return fail("--log - and --json both want standard output");
    if (options.logPath == "-" && !options.recordsUrl.empty())
        return fail("--records keeps its records in a log file first: give --log FILE, not -");
    return Done{};
}

Result<FlashOptions> read(const Parser& p, const runs::RawArguments& raw) {
    FlashOptions options;
    const auto chosen = action(p);
    const auto timeout = answerTimeout(p);
    const auto pinned = p.devices.pinnedSha256(p.parser);
    const auto release = releaseOptions(p, raw);
    for (const std::string* error :
         {chosen ? nullptr : &chosen.error(), timeout ? nullptr : &timeout.error(),
          pinned ? nullptr : &pinned.error(), release ? nullptr : &release.error()})
        if (error != nullptr)
            return fail(*error);
    const auto records = recordsAddress(p, *chosen);
    if (!records)
        return fail(records.error());
    options.recordsUrl = *records;
    options.sendLog = raw.bytesOf(p.parser.value(p.sendRecords));
    options.release = *release;
    options.action = *chosen;
    options.timeout = *timeout;
    options.expectedSha256 = *pinned;
    if (!p.parser.positionalArguments().isEmpty())
        options.file = raw.bytesOf(p.parser.positionalArguments().first());
    options.imageOut = raw.bytesOf(p.parser.value(p.imageOut));
    options.targets = p.devices.names(p.parser, raw);
    options.portsFile = p.parser.isSet(p.portsFile);
    options.quiet = p.parser.isSet(p.quiet);
    options.verbose = p.parser.isSet(p.verbose);
    options.logPath =
        p.parser.isSet(p.log) ? raw.bytesOf(p.parser.value(p.log)) : runs::logFromEnvironment();
    options.tls = tlsFiles(p, raw);
    options.station = p.parser.isSet(p.stationId) ? raw.bytesOf(p.parser.value(p.stationId))
                                                  : runs::stationFromEnvironment();
    options.operatorName = raw.bytesOf(p.parser.value(p.operatorName));
    options.metricsPath = raw.bytesOf(p.parser.value(p.metrics));
    if (auto line = lineOptions(p, raw, options); !line)
        return fail(line.error());
    if (auto streams = outputOptions(p, options); !streams)
        return fail(streams.error());
    return options;
}

// The command line with the profile's settings before those it gives
// itself, or why the profile cannot be used.
Result<runs::RawArguments> withProfile(const Parser& p, const runs::RawArguments& raw) {
    const auto profile = runs::readStationProfile(raw.bytesOf(p.parser.value(p.profile)));
    if (!profile)
        return fail(profile.error());
    return raw.withFirst(runs::profileArguments(*profile,
                                                runs::givenOptions(p.parser.optionNames()),
                                                !p.parser.positionalArguments().isEmpty()));
}

} // namespace

Result<FlashOptions> parseFlashOptions(const runs::RawArguments& given) {
    Parser first;
    std::optional<runs::RawArguments> merged;
    if (first.parser.parse(given.decoded()) && first.parser.isSet(first.profile)) {
        if (!first.parser.isSet(first.watch))
            return fail("--profile goes with --watch");
        auto arguments = withProfile(first, given);
        if (!arguments)
            return fail(arguments.error());
        merged.emplace(std::move(*arguments));
    }
    const runs::RawArguments& raw = merged ? *merged : given;
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
