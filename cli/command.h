#pragma once
// A j4_flash command: one for each thing the options ask for (an update,
// --watch, --check, --send-records, --list-ports, --help, --version), each in
// a file of its own, all run the same way.

#include "flash_command.h"
#include "flash_options.h"
#include "output.h"

#include <atomic>
#include <memory>

namespace j4::cli {

// What a command works with.
struct CommandRun {
    const FlashOptions& options;
    const FlashContext& context;
    const Output& output;
    const std::atomic<bool>& stop; // set on an interrupt
};

class Command {
public:
    virtual ~Command() = default;
    // Whether it waits on ports, files or a database, and so has interrupts
    // handled while it runs.
    virtual bool waits() const { return true; }
    // Its exit status.
    virtual int execute(const CommandRun& run) const = 0;
};

// The command for what the options ask.
std::unique_ptr<Command> commandFor(FlashOptions::Action action);

std::unique_ptr<Command> updateCommand();
std::unique_ptr<Command> watchCommand();
std::unique_ptr<Command> checkCommand();
std::unique_ptr<Command> sendRecordsCommand();
std::unique_ptr<Command> listPortsCommand();
std::unique_ptr<Command> helpCommand();
std::unique_ptr<Command> versionCommand();

} // namespace j4::cli
