#pragma once
// The devices of a run, as the operator named them: port numbers (and
// ranges of them), device paths and USB adapters' serial numbers, in the
// order given.

#include "result.h"
#include "update_session.h"

#include <optional>
#include <string>
#include <vector>

namespace j4::runs {

struct TargetName {
    enum class Kind { Port, Device, Serial };
    Kind kind;
    std::string value; // "3", "1-8", a path (bytes as given), or a USB serial number

    bool operator==(const TargetName&) const = default;
};

// One device of a run.
struct Target {
    UpdateRequest request;
    std::string label; // how the operator named it
};

// Why the names cannot be resolved.
struct TargetError {
    std::string text;
    bool usage = true; // false: a serial number no adapter has (the port is missing)
};

// Numbers and serial numbers resolved to their devices and ranges spread out,
// in order; refused for a malformed number, the same device twice, or a
// serial number no adapter present has.
Result<std::vector<Target>, TargetError> resolveTargets(const std::vector<TargetName>& names,
                                                        const std::string& file);

// The request for the adapter with USB serial number `serial`; nothing when
// none present has it.
std::optional<UpdateRequest> requestForSerial(const std::string& file, const std::string& serial);

} // namespace j4::runs
