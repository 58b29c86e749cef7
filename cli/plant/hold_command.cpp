// j4_plant hold LINE: a hold is in the database, so every station of the
// line sees it.

#include "plant_command.h"

#include <nlohmann/json.hpp>

namespace j4::cli::plant {
namespace {

class HoldCommand final : public StoreCommand {
protected:
    int executeOn(const PlantRun& run, j4::plant::PlantStore& store) const override {
        const std::string& line = run.options.arguments.front();
        const std::string reason =
            run.options.reason.empty() ? "held by " + run.by : run.options.reason;
        if (const auto held = store.hold(line, reason, run.by); !held)
            return failed(run, held.error());
        if (run.options.json)
            say(run.out, nlohmann::json{{"line", line}, {"held", true}, {"reason", reason}}.dump());
        else
            say(run.out, "Line " + line + " is held: " + reason + ".");
        return kDone;
    }
};

} // namespace

std::unique_ptr<PlantCommand> holdCommand() {
    return std::make_unique<HoldCommand>();
}
} // namespace j4::cli::plant
