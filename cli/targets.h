#pragma once
// The devices of a run, as the operator named them: port numbers (and
// ranges of them) and device paths, in the order given.

#include "update_session.h"

#include <optional>
#include <string>
#include <vector>

namespace j4::cli {

struct TargetName {
    enum class Kind { Port, Device, Serial };
    Kind kind;
    std::string value; // "3", "1-8", a path (bytes as given), or a USB serial number
};

// One device of a run.
struct Target {
    UpdateRequest request;
    std::string label; // how the operator named it
};

struct TargetError {
    std::string text;
    bool usage = true; // false: a serial number no adapter has (the port is missing)
};

// Numbers and serial numbers resolved to their devices and ranges spread out,
// in order. Nothing, with the reason in `error`, for a malformed number, the
// same device twice, or a serial number no adapter present has.
std::optional<std::vector<Target>> resolveTargets(const std::vector<TargetName>& names,
                                                  const std::string& file, TargetError& error);

// The request for the adapter with USB serial number `serial`; nothing when
// none present has it.
std::optional<UpdateRequest> requestForSerial(const std::string& file, const std::string& serial);

} // namespace j4::cli
