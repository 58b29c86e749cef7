#include "command.h"

#include "exit_status.h"
#include "flash_help.h"

#include <cstdio>

namespace j4::cli {
namespace {

class HelpCommand final : public Command {
public:
    bool waits() const override { return false; }
    int execute(const CommandRun& run) const override {
        std::fputs(flashHelp().c_str(), run.output.out());
        return runs::kCompleted;
    }
};

} // namespace

std::unique_ptr<Command> helpCommand() {
    return std::make_unique<HelpCommand>();
}

} // namespace j4::cli
