#include "command.h"

#include "flash_report.h"

namespace j4::cli {
namespace {

class ListPortsCommand final : public Command {
public:
    bool waits() const override { return false; }
    int execute(const CommandRun& run) const override {
        return listPorts(run.options.portsFile, run.output);
    }
};

} // namespace

std::unique_ptr<Command> listPortsCommand() {
    return std::make_unique<ListPortsCommand>();
}

} // namespace j4::cli
