#pragma once
// The simulated device: a pseudo-terminal whose other end reads frames and
// answers them as the options say.

#include "options.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace j4::devsim {

// Set by the signal handlers: the device ends at its next look.
extern volatile std::sig_atomic_t stopRequested;

class Device {
public:
    explicit Device(Options options) : o_(std::move(options)), random_(o_.seed) {}

    // Serves until a stop or its own hang-up; the exit status.
    int run();

private:
    bool openPty();
    // Removes the link only while it still points at our device.
    void removeLink();
    void serve();
    void take(std::uint8_t byte, std::int64_t arrivedNs);
    void answer();
    void hangUp();
    void finish();

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

} // namespace j4::devsim
