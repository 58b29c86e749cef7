#pragma once
// What j4_flash's command line asks for, and its help.

#include "device_options.h"
#include "release_check.h"
#include "result.h"
#include "serial_link.h"
#include "station_options.h"
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
    bool quiet = false;
    bool verbose = false;
    std::string sendLog; // --send-records: the log to send
    bool json = false;   // events as JSON lines on standard output
    std::string expectedSha256;
    // The time-out, the records, the station's line and the release, as the
    // window reads them too.
    options::StationSettings station;
};

// The options, or why the command line is a usage error.
Result<FlashOptions> parseFlashOptions(const options::RawArguments& raw);

// --help: the options, the forms, the exit statuses, the environment.
std::string flashHelp();
// What a bare "j4_flash" says: the usage lines.
std::string flashUsage();

} // namespace j4::cli
