#pragma once
// j4_flash --watch: a station, until the stop.

#include "flash_command.h"
#include "flash_options.h"
#include "output.h"

#include <atomic>

namespace j4::cli {

// Then a summary per slot. 0 when every attempt completed, else the status
// of the first failure; 130 only when a transfer was cut.
int watch(const FlashOptions& options, const FlashContext& context, const std::atomic<bool>& stop,
          const Output& output);

} // namespace j4::cli
