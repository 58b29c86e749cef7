#pragma once
// Turns the system's requests to stop (Ctrl+C, SIGTERM, a hang-up of the
// controlling terminal) into one flag the update polls at safe points.

#include <atomic>

namespace j4::cli {

// Installs the handlers; returns the flag they set.
const std::atomic<bool>& installInterruptHandlers();

} // namespace j4::cli
