#include "flash_command.h"

#include "command.h"
#include "exit_status.h"
#include "flash_help.h"
#include "flash_options.h"
#include "interrupts.h"
#include "json_events.h"
#include "output.h"

#include <optional>

namespace j4::cli {
namespace {

int runCommand(const FlashOptions& options, const FlashContext& context, const Output& output) {
    const auto command = commandFor(options.action);
    static const std::atomic<bool> never{false};
    const std::atomic<bool>& stop = !command->waits()         ? never
                                    : context.stop != nullptr ? *context.stop
                                                              : installInterruptHandlers();
    return command->execute({options, context, output, stop});
}

} // namespace

std::unique_ptr<Command> commandFor(FlashOptions::Action action) {
    using Action = FlashOptions::Action;
    switch (action) {
    case Action::Help:
        return helpCommand();
    case Action::Version:
        return versionCommand();
    case Action::ListPorts:
        return listPortsCommand();
    case Action::Watch:
        return watchCommand();
    case Action::Check:
        return checkCommand();
    case Action::SendRecords:
        return sendRecordsCommand();
    case Action::Update:
        break;
    }
    return updateCommand();
}

int runFlash(const std::vector<std::string>& arguments, const FlashContext& context) {
    const Output output(context.out, context.err);
    if (arguments.size() <= 1) {
        // Nothing asked: how to ask, on standard error, as a usage error.
        std::fprintf(context.err, "%s\n(try --help)\n", flashUsage().c_str());
        return runs::kUsage;
    }
    const auto options = parseFlashOptions(options::RawArguments(arguments));
    if (!options) {
        output.usageError(options.error());
        return runs::kUsage;
    }
    // With --json the events, with --log - the log, have standard output:
    // the lines for people go to standard error.
    std::optional<JsonEvents> events;
    if (options->json)
        events.emplace(context.out);
    const bool outTaken = options->json || options->station.logPath == "-";
    const Output lines(outTaken ? context.err : context.out, context.err,
                       events ? &*events : nullptr);
    return runCommand(*options, context, lines);
}

} // namespace j4::cli
