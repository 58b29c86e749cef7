#pragma once
// The options both programs take for a run's records, a station's line and
// the release it sends: defined and read once, so they mean the same and
// are refused in the same words; a station profile's keys are their names.

#include "device_options.h"
#include "release_check.h"
#include "result.h"
#include "serial_link.h"
#include "tls_settings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <chrono>
#include <string>

namespace j4::options {

struct StationSettings {
    release::ReleaseOptions release;
    std::chrono::milliseconds timeout = SerialLink::kDefaultAnswerTimeout;
    std::chrono::milliseconds settle{0};
    std::string unitRule;     // empty: any scan
    bool requireUnit = false; // a device waits for its unit's scan
    std::string unitsFrom; // where scans come from: "-", a path; empty: none (the window's field)
    std::vector<std::string> slotNames; // the slots' own names, in order; may be fewer
    std::string onResult;               // empty: no command
    std::string logPath;                // empty: J4_UPDATE_LOG, else none
    std::string stationId;              // empty: J4_STATION_ID, else the host's name
    std::string operatorName;           // empty: the login's
    std::string metricsPath;            // empty: no metrics
    std::string recordsUrl;             // empty: J4_RECORDS, else no database
    std::string line;                   // a station that follows its line; empty: its file
    int offlineUnits = 0; // units a line station makes while the database is out of reach
    TlsSettings tls;      // as given, else as the environment names them
};

struct StationOptions {
    QCommandLineOption timeout{"timeout",
                               QStringLiteral("Answer time-out in milliseconds (default %1).")
                                   .arg(SerialLink::kDefaultAnswerTimeout.count()),
                               "MS"};
    QCommandLineOption log{"log", "Append a JSON line per attempt to FILE (- for standard output).",
                           "FILE"};
    QCommandLineOption stationId{"station-id",
                                 "The station's name in every record (default: J4_STATION_ID, "
                                 "else the host's name).",
                                 "NAME"};
    QCommandLineOption operatorName{
        "operator", "Who runs the updates, in every record (default: the login).", "NAME"};
    QCommandLineOption metrics{"metrics",
                               "Keep the station's state in FILE for Prometheus' node exporter "
                               "(its textfile collector).",
                               "FILE"};
    QCommandLineOption records{"records",
                               "Send every attempt's record to the PostgreSQL database at URI "
                               "(default: J4_RECORDS), through the log.",
                               "URI"};
    QCommandLineOption profile{"profile",
                               "A station: its set-up from FILE (an INI file); options given "
                               "beside it override it.",
                               "FILE"};
    QCommandLineOption line{"line",
                            "A station: send what the plant assigns line NAME in the records' "
                            "database (needs --records), instead of an update file.",
                            "NAME"};
    QCommandLineOption offlineUnits{"offline-units",
                                    "A --line station: make up to N units while the plant's "
                                    "database is out of reach, counted when it is back "
                                    "(default 0).",
                                    "N"};
    QCommandLineOption settle{"settle",
                              "A station: wait MS after a device appears before its first "
                              "frame (default 0).",
                              "MS"};
    QCommandLineOption unitRule{"unit-rule", "A unit serial must match the regular expression RE.",
                                "RE"};
    QCommandLineOption requireUnit{"require-unit",
                                   "A device plugged in without a scanned unit waits for one."};
    QCommandLineOption units{"units",
                             "A station: read the units' serial numbers from SOURCE, a line "
                             "each: - (standard input), a FIFO, a file, or a serial scanner's "
                             "port.",
                             "SOURCE"};
    QCommandLineOption slotNames{"slot-names",
                                 "A station: the slots' names, in order, separated by commas "
                                 "(shown in the window's table and the summary).",
                                 "NAMES"};
    QCommandLineOption onResult{"on-result",
                                "A station: run CMD after each attempt, the result in its "
                                "environment (J4_RESULT, J4_SLOT, ...).",
                                "CMD"};
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

    // Each, in the order the help lists them.
    QList<QCommandLineOption> all() const;
    // Those that only a station takes.
    QList<const QCommandLineOption*> stationOnly() const;
    // What the command line says, or why it cannot be used.
    Result<StationSettings> read(const QCommandLineParser& parser, const RawArguments& raw) const;
    // The command line with its --profile's settings before those it gives
    // itself, or why the profile cannot be used.
    Result<RawArguments> withProfile(const QCommandLineParser& parser,
                                     const RawArguments& raw) const;
};

} // namespace j4::options
