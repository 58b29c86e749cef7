// j4_plant assign LINE ...: what the line flashes from now on; the earlier
// assignment is kept as history.

#include "plant_command.h"

#include <nlohmann/json.hpp>

namespace j4::cli::plant {
namespace {

class AssignCommand final : public PlantCommand {
public:
    int execute(const PlantRun& run, j4::plant::PlantStore& store) const override {
        const auto& assignment = run.options.assignment;
        const auto sha = store.assign(assignment, run.by);
        if (!sha)
            return failed(run, sha.error());
        if (run.options.json) {
            say(run.out, nlohmann::json{{"line", assignment.line},
                                        {"sha256", *sha},
                                        {"work_order", assignment.workOrder},
                                        {"quantity", assignment.quantity}}
                             .dump());
        } else {
            say(run.out, "Line " + assignment.line + " now flashes " + sha->substr(0, 12) +
                             " for work order " + assignment.workOrder + ", " +
                             std::to_string(assignment.quantity) + " units.");
        }
        return kDone;
    }
};

} // namespace

std::unique_ptr<PlantCommand> assignCommand() {
    return std::make_unique<AssignCommand>();
}

} // namespace j4::cli::plant
