#pragma once
// The update file as j4_flash's commands take it: decoded once, read once,
// its signature checked where keys are trusted.

#include "flash_options.h"
#include "output.h"
#include "update_session.h"

#include <atomic>

namespace j4::cli {

// Decodes FILE, read once, its signature checked where keys are trusted;
// says why not, once, when it cannot be used.
PreparedFile prepare(const FlashOptions& options, const std::atomic<bool>& stop,
                     const Output& output);

} // namespace j4::cli
