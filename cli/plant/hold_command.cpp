// j4_plant hold LINE / resume LINE: a hold is in the database, so every
// station of the line sees it.

#include "plant_command.h"

#include <nlohmann/json.hpp>

namespace j4::cli::plant {
namespace {

class HoldCommand final : public PlantCommand {
public:
    int execute(const PlantRun& run, j4::plant::PlantStore& store) const override {
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

class ResumeCommand final : public PlantCommand {
public:
    int execute(const PlantRun& run, j4::plant::PlantStore& store) const override {
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

std::unique_ptr<PlantCommand> holdCommand() {
    return std::make_unique<HoldCommand>();
}
std::unique_ptr<PlantCommand> resumeCommand() {
    return std::make_unique<ResumeCommand>();
}

} // namespace j4::cli::plant
