#pragma once
// The devices of a run, as the operator named them: port numbers (and
// ranges of them) and device paths, in the order given.

#include "update_session.h"

#include <optional>
#include <string>
#include <vector>

namespace j4::cli {

struct TargetName {
    enum class Kind { Port, Device };
    Kind kind;
    std::string value; // "3", "1-8", or a path (bytes as given)
};

// One device of a run.
struct Target {
    UpdateRequest request;
    std::string label; // how the operator named it
};

// Numbers resolved to their devices and ranges spread out, in order. Nothing,
// with the reason in `error`, for a malformed number or the same device twice.
std::optional<std::vector<Target>> resolveTargets(const std::vector<TargetName>& names,
                                                  const std::string& file, std::string& error);

} // namespace j4::cli
