#pragma once
// Sends one decoded file to several devices at once: each device gets a
// thread, a link and a session of its own, so one device's failure never
// stops or slows another.

#include "attempt.h"
#include "targets.h"

#include <memory>
#include <vector>

namespace j4::runs {

// Every device's report, in the order of `targets`; returns when all ended.
// A stop ends every transfer at its next frame boundary.
std::vector<AttemptReport> runOnDevices(std::shared_ptr<const DecodedFile> decoded,
                                        const std::vector<Target>& targets, const RunContext& run);

} // namespace j4::runs
