#pragma once
// A station's whole set-up in one file, so that a line's station starts the
// same after every restart: "key = value" lines under [station], the keys
// being the programs' long options. Every line is checked when the file is
// read, and a bad one is named FILE:LINE: a station never starts on a
// profile it could not read completely.

#include "result.h"

#include <QStringList>

#include <set>
#include <string>
#include <vector>

namespace j4::station {

struct StationProfile {
    struct Entry {
        std::string key;
        std::string value;
        int line = 0;
    };
    std::string path;
    std::vector<Entry> entries;

    // The value of `key`, empty when the profile does not set it.
    std::string valueOf(const std::string& key) const;
};

// The profile at `path`, every line checked; "FILE:LINE: what is wrong"
// otherwise.
Result<StationProfile> readStationProfile(const std::string& path);

// The command-line arguments the profile stands for, but for those the
// command line gives itself: `given` holds the long names of the options
// given ("slots" standing for --port, --device and --serial together),
// `fileGiven` whether FILE was. Given options override the profile's.
std::vector<std::string> profileArguments(const StationProfile& profile,
                                          const std::set<std::string>& given, bool fileGiven);

// The long names of the options a command line gives, "slots" for any of
// --port, --device and --serial.
std::set<std::string> givenOptions(const QStringList& names);

} // namespace j4::station
