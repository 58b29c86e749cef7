#pragma once
// What j4_devsim is asked to be: where its line goes, and how it misbehaves.

#include "result.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace j4::devsim {

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

// What the command line asks: serve, or leave at once with a status
// (--help, --version, a usage error, said on the way).
struct Command {
    std::optional<Options> serve;
    int status = 0;
};

Command readCommandLine(int argc, char** argv);

} // namespace j4::devsim
