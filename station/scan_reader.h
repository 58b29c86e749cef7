#pragma once
// A station's scans read from their source (standard input, a FIFO, a
// serial scanner) on a thread of their own, each checked and kept for its
// device, what the operator hears told either way. A reader still waiting
// for a line when the station ends stops waiting.

#include "scan_source.h"
#include "unit_scans.h"
#include "worker_thread.h"

#include <atomic>
#include <functional>
#include <memory>

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
    std::atomic<bool> stop_{false};
    WorkerThread thread_; // last: it ends before what it uses goes
};

} // namespace j4::station
