#pragma once
// A station's scans read from their source (standard input, a FIFO, a
// serial scanner) on a thread of their own, each checked and kept for its
// device, what the operator hears told either way. A reader still waiting
// for a line when the station ends is left to the program's end.

#include "scan_source.h"
#include "unit_scans.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace j4::station {

class ScanReader {
public:
    struct Listener {
        // A scan taken (what it went to), or why it is refused.
        std::function<void(const Result<ScanHeard>&)> heard;
        // Once, when the source has ended: what that means for the line.
        std::function<void(const std::string&)> ended;
    };
    // `required`: devices wait for their scans (--require-unit).
    ScanReader(std::unique_ptr<ScanSource> source, UnitScans& units, Listener listener,
               bool required);
    ~ScanReader();
    ScanReader(const ScanReader&) = delete;
    ScanReader& operator=(const ScanReader&) = delete;

private:
    std::shared_ptr<std::atomic<bool>> ended_ = std::make_shared<std::atomic<bool>>(false);
    std::thread thread_;
};

} // namespace j4::station
