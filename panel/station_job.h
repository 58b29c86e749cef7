#pragma once
// A station off the UI thread, for the station window: the runs layer's
// station (every slot on a thread of its own) in a worker job, its events
// posted to the window.

#include "line_follower.h"
#include "run_relay.h"
#include "targets.h"
#include "unit_scans.h"
#include "worker_job.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace j4 {

// What a line sets beyond the slots (the profile's, or the command line's).
struct StationLine {
    std::chrono::milliseconds settle{0};
    std::shared_ptr<station::UnitScans> units; // scanned in the window
    bool requireUnit = false;
    std::string onResult; // empty: no command
    // The line the station follows instead of a file: its release fetched
    // and checked when the station starts.
    std::optional<line::FollowSettings> follow;
};

class StationJob final {
public:
    // From start() until `ended` has been handed over.
    bool running() const { return job_.running(); }
    // Watches `slotNames` until requestStop(); ignored while running. A
    // station that follows its line sends what the plant assigns it
    // (`decoded` and `file` are not used), and tells `callbacks.lineShown`
    // what it sends each time that may have changed.
    void start(std::shared_ptr<const DecodedFile> decoded, std::vector<runs::TargetName> slotNames,
               std::string file, StationLine line, JobOutlets outlets, QObject* context,
               RunCallbacks callbacks, std::function<void()> ended);
    // How long slot `index`'s device has awaited its answer.
    std::chrono::milliseconds awaitingAnswerFor(std::size_t index) const {
        return awaiting_ && index < awaiting_->size() ? awaitedFor(awaiting_, index)
                                                      : std::chrono::milliseconds{0};
    }
    // Every slot stops: a transfer at its next frame boundary, its port closed.
    void requestStop() { job_.requestStop(); }

private:
    WorkerJob job_;
    AwaitingAnswers awaiting_;
};

} // namespace j4
