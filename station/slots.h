#pragma once
// A station's slots: how each is named and said, which device is in it now,
// and the lines both fronts show of its attempts and counts.

#include "attempt.h"
#include "result.h"
#include "targets.h"

#include <QString>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace j4::station {

// How the operator named a slot: "port 3", "serial A50285BI", or its path.
std::string slotLabel(const runs::TargetName& slot);

// Whether `slot` can be a station's slot: not a range of ports, not a
// remote port.
Result<Done> checkSlot(const runs::TargetName& slot);

// Where a slot leads, to tell two slots that are one device: a path's device
// (links followed), a pinned port's device, or an adapter's serial number.
std::string slotKey(const runs::TargetName& slot);

// Every slot usable, and no two that lead to one device. Each slot is
// resolved once (a port number may take a port scan).
Result<Done> checkSlots(const std::vector<runs::TargetName>& slotNames);

// A slot's counts for the operator: "slot 1 (port 3): 2 completed, 1 failed".
std::string tallyLine(std::size_t index, const runs::TargetName& slot, const runs::SlotTally& tally,
                      const std::string& name = {});

// A line per attempt for the operator: slot, device, adapter serial, the
// text (with its detail when it failed) and the seconds it took.
std::string attemptLine(const runs::AttemptReport& report);

// A slot's device now, if one is plugged in (a port number, a path or an
// adapter's serial number, resolved afresh each time).
std::optional<UpdateRequest> deviceInSlot(const runs::TargetName& slot, const std::string& file);

// The paths whose folders show a slot's device coming and going beyond the
// system's device folders: the slot's own path, or the one its number is
// pinned to (a jig's own links, which udev does not write).
std::vector<QString> slotPaths(const runs::TargetName& slot);

} // namespace j4::station
