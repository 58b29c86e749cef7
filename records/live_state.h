#pragma once
// What a station is doing now, as the plant's live view shows it: a row
// per slot (its state, its unit, since when) and a heartbeat.

#include <cstdint>
#include <string>
#include <vector>

namespace j4::records {

struct SlotState {
    int slot = 0;             // a station's from 1; 0 the updater window's one port
    std::string state;        // empty, plugged, scan, updating, completed, failed
    std::string unit;         // the unit's serial, when known
    std::int64_t sinceMs = 0; // milliseconds since the epoch
};

struct LiveState {
    std::string station;
    std::string line; // the line it follows, if any
    std::string version;
    std::string host;
    std::vector<SlotState> slotStates;
    bool stopped = false; // stopped on purpose: its last report
};

} // namespace j4::records
