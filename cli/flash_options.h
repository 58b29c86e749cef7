#pragma once
// What j4_flash's command line asks for, and its help.

#include "release_check.h"
#include "result.h"
#include "serial_link.h"
#include "slot_options.h"
#include "tls_settings.h"

#include <chrono>
#include <string>
#include <vector>

namespace j4::cli {

struct FlashOptions {
    enum class Action {
        Help,
        Version,
        ListPorts,
        Check,
        Update,
        Watch,
        SendRecords
    } action = Action::Update;
    bool portsFile = false;
    std::string file;
    std::string imageOut;
    std::vector<runs::TargetName> targets;
    std::chrono::milliseconds timeout = SerialLink::kDefaultAnswerTimeout;
    bool quiet = false;
    bool verbose = false;
    std::string logPath;
    std::string station;      // empty: J4_STATION_ID, else the host's name
    std::string operatorName; // empty: the login's
    std::string metricsPath;  // empty: no metrics
    std::string recordsUrl;   // empty: no records database
    std::string sendLog;      // --send-records: the log to send
    // The station's line: settle time, units scanned on standard input,
    // their rule, and the command run after each attempt.
    std::chrono::milliseconds settle{0};
    bool unitsFromInput = false;
    std::string unitRule;
    bool requireUnit = false;
    std::string onResult;
    bool json = false; // events as JSON lines on standard output
    TlsSettings tls;
    std::string expectedSha256;
    runs::ReleaseOptions release;
};

// The options, or why the command line is a usage error.
Result<FlashOptions> parseFlashOptions(const runs::RawArguments& raw);

// --help: the options, the forms, the exit statuses, the environment.
std::string flashHelp();
// What a bare "j4_flash" says: the usage lines.
std::string flashUsage();

} // namespace j4::cli
