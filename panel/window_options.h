#pragma once
// j4_updater's command line, read before any display is asked for: a
// usage error is one with or without a window system. The slots, the pin
// and the line's options are read by the same code as j4_flash's, and a
// station's profile by the same reader.

#include "station_options.h"
#include "targets.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

struct WindowOptions {
    bool verbose = false;
    bool stationWindow = false;
    std::string expectedSha256;
    std::vector<j4::runs::TargetName> slotNames;
    std::optional<QString> file;
    QString profile; // empty: none
    j4::options::StationSettings station;
};

// The exit status when the program is done (help, version, usage error),
// or nothing when the window is to open. `help`: what --help prints.
std::optional<int> readWindowCommandLine(int argc, char** argv, const char* help,
                                         WindowOptions& options);
