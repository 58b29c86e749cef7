#include "command.h"

#include "exit_status.h"
#include "j4_version.h"

namespace j4::cli {
namespace {

class VersionCommand final : public Command {
public:
    bool waits() const override { return false; }
    int execute(const CommandRun& run) const override {
        run.output.say(std::string("j4_flash ") + kVersion);
        return runs::kCompleted;
    }
};

} // namespace

std::unique_ptr<Command> versionCommand() {
    return std::make_unique<VersionCommand>();
}

} // namespace j4::cli
