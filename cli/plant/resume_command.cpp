// j4_plant resume LINE: every hold of the line lifted, its stations go on.

#include "plant_command.h"

#include <nlohmann/json.hpp>

namespace j4::cli::plant {
namespace {

class ResumeCommand final : public StoreCommand {
protected:
    int executeOn(const PlantRun& run, j4::plant::PlantStore& store) const override {
        const std::string& line = run.options.arguments.front();
        const auto lifted = store.resume(line);
        if (!lifted)
            return failed(run, lifted.error());
        if (!*lifted)
            return failed(run, {j4::plant::PlantError::Kind::Refused,
                                "line " + line + " is not held: nothing to resume"});
        if (run.options.json)
            say(run.out, nlohmann::json{{"line", line}, {"held", false}}.dump());
        else
            say(run.out, "Line " + line + " goes on.");
        return kDone;
    }
};

} // namespace

std::unique_ptr<PlantCommand> resumeCommand() {
    return std::make_unique<ResumeCommand>();
}

} // namespace j4::cli::plant
