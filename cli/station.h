#pragma once
// A production station: each slot waits for a device to be plugged in,
// updates it once, and waits for it to be pulled before the next. The file
// is decoded once; slots run side by side until a stop.

#include "device_runs.h"
#include "targets.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace j4::cli {

// What one slot did.
struct SlotTally {
    int completed = 0;
    int failed = 0;
};

struct StationResult {
    std::vector<SlotTally> tallies;
    // The first failure's outcome, which sets the exit status. Only that: a
    // station runs for a shift, and a report kept per failure would grow
    // with every device pulled too soon.
    std::optional<UpdateOutcome> firstFailure;
    bool cutByStop = false; // a transfer was interrupted
};

// How the operator named a slot: "port 3", "serial A50285BI", or its path.
std::string slotLabel(const TargetName& slot);

// Why `slot` cannot be a station's slot (a range of ports or a remote port);
// empty when it can.
std::string slotProblem(const TargetName& slot);

// Where a slot leads, to tell two slots that are one device: a path's device
// (links followed), a pinned port's device, or an adapter's serial number.
std::string slotKey(const TargetName& slot);

// Two of `slotNames` that lead to one device, said as a reason; empty when
// none do. Each slot is resolved once (a port number may take a port scan).
std::string sameDeviceProblem(const std::vector<TargetName>& slotNames);

// A slot's counts for the operator: "slot 1 (port 3): 2 completed, 1 failed".
std::string tallyLine(std::size_t index, const TargetName& slot, const SlotTally& tally);

// A line per attempt for the operator: slot, device, adapter serial, the
// text (with its detail when it failed) and the seconds it took.
std::string attemptLine(const UpdateReport& report);

// A slot's device now, if one is plugged in (a port number, a path or an
// adapter's serial number, resolved afresh each time).
std::optional<UpdateRequest> deviceInSlot(const TargetName& slot, const std::string& file);

// Runs until *stop; `listener` hears of every attempt, by slot index.
StationResult runStation(std::shared_ptr<const DecodedFile> decoded,
                         const std::vector<TargetName>& slotNames, const std::string& file,
                         const LinkMaker& makeLink, DeviceListener& listener,
                         const std::atomic<bool>& stop);

} // namespace j4::cli
