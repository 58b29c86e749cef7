#pragma once
// j4_flash as a function: the arguments in, the exit status out, what it
// says on the streams given. The program is a thin main() around it; tests
// call it in process with links of their own.

#include "serial_link.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace j4::cli {

struct FlashContext {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    // Progress redrawn in place on a terminal; plain lines otherwise.
    bool errIsTerminal = false;
    // The link for a device at the run's answer time-out; empty: the real ones.
    std::function<std::unique_ptr<SerialLink>(const std::string&, std::chrono::milliseconds)>
        makeLink;
    // Set to stop; null: the program's own signal handlers are installed.
    const std::atomic<bool>* stop = nullptr;
    std::FILE* in = stdin; // units scanned, with --units -
};

// `arguments`: argv as given (bytes), the program's name first.
int runFlash(const std::vector<std::string>& arguments, const FlashContext& context);

} // namespace j4::cli
