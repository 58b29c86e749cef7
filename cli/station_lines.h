#pragma once
// What a station says as it goes, a line each, with the time: a slot sees a
// device, waits for its unit's scan, starts the transfer, reaches each
// quarter, ends. The same lines on a terminal and in a file: nothing is
// redrawn, so a station's output is its own record of the shift. Under a
// service only each attempt's end, a failure as a warning: the journal keeps
// a line per unit, and the log the rest.

#include "attempt.h"
#include "output.h"
#include "progress.h"

#include <mutex>
#include <vector>

namespace j4::cli {

class StationLines final : public runs::DeviceListener {
public:
    // `board` keeps the --verbose trace.
    StationLines(std::size_t slotCount, ProgressBoard& board, const Output& output)
        : quarters_(slotCount, 0), board_(board), output_(output) {}

    void deviceSeen(std::size_t slot, const std::string& device) override;
    void waitingForUnit(std::size_t slot) override;
    void started(std::size_t slot, std::size_t totalBytes) override;
    void sending(std::size_t slot, const TransferState& state) override {
        board_.sending(slot, state);
    }
    void answered(std::size_t slot, const TransferState& state,
                  std::chrono::steady_clock::duration sinceSent) override;
    void finished(std::size_t slot, const runs::AttemptReport& report) override;
    void notice(const std::string& text) override { output_.warn(text); }

private:
    void say(const std::string& text) const;

    std::vector<int> quarters_; // each slot's, on its own thread
    ProgressBoard& board_;
    const Output& output_;
};

// "14:03:27" (local time): when a station line happened.
std::string clockTime();

} // namespace j4::cli
