#pragma once
// A production station: each slot waits for a device to be plugged in,
// updates it once, and waits for it to be pulled before the next. The file
// is decoded once; slots run side by side until a stop.

#include "attempt.h"
#include "result_hook.h"
#include "targets.h"
#include "unit_scans.h"
#include "unit_source.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace j4::station {

struct StationResult {
    std::vector<runs::SlotTally> tallies; // the counts the listener was told, at the end
    // The first failure's outcome, which sets the exit status. Only that: a
    // station runs for a shift, and a report kept per failure would grow
    // with every device pulled too soon.
    std::optional<UpdateOutcome> firstFailure;
    bool cutByStop = false; // a transfer was interrupted
};

// What a line sets beyond the slots.
struct StationOptions {
    // How long a slot waits after a device appears before its first frame:
    // a device powered by the same plug may still be starting its boot
    // loader.
    std::chrono::milliseconds settle{0};
    // Scanned unit serials, each given to the next device plugged in; none:
    // the attempts have no unit.
    UnitScans* units = nullptr;
    // A device plugged in without a scan waits for one (and fails when
    // pulled first).
    bool requireUnit = false;
    // Run after each attempt; none: nothing is.
    ResultHook* onResult = nullptr;
    // What each unit is sent, asked before each; none: the station's file.
    UnitSource* source = nullptr;
};

// Runs until run.stop, each slot on a thread of its own; the listener hears
// of every attempt and every slot's counts, by slot index.
StationResult runStation(std::shared_ptr<const DecodedFile> decoded,
                         const std::vector<runs::TargetName>& slotNames, const std::string& file,
                         const runs::RunContext& run, const StationOptions& options = {});

} // namespace j4::station
