// j4_plant assign LINE ...: what the line flashes from now on; the earlier
// assignment is kept as history.

#include "plant_command.h"

#include <nlohmann/json.hpp>

namespace j4::cli::plant {
namespace {

class AssignCommand final : public StoreCommand {
protected:
    int executeOn(const PlantRun& run, j4::plant::PlantStore& store) const override {
        const auto& assignment = run.options.assignment;
        const auto made = store.assign(assignment, run.by);
        if (!made)
            return failed(run, made.error());
        const auto& stop = made->stop;
        const std::string rule =
            stop ? std::to_string(stop->failures) + "/" + std::to_string(stop->window) : "none";
        if (run.options.json) {
            say(run.out, nlohmann::json{{"line", assignment.line},
                                        {"sha256", made->sha256},
                                        {"version", made->version},
                                        {"work_order", assignment.workOrder},
                                        {"quantity", assignment.quantity},
                                        {"stop_after", rule},
                                        {"stop_station", stop && !stop->wholeLine}}
                             .dump());
            return kDone;
        }
        const std::string release = made->version.empty() ? made->sha256.substr(0, 12)
                                                          : "release " + made->version + " (" +
                                                                made->sha256.substr(0, 12) + ")";
        say(run.out, "Line " + assignment.line + " now flashes " + release + " for work order " +
                         assignment.workOrder + ", " + std::to_string(assignment.quantity) +
                         " units.");
        // Said whether given or kept, so that a correction never drops the
        // rule unseen.
        if (stop)
            say(run.out, std::string(assignment.stop ? "Its" : "It keeps its") +
                             " failure rule: stop after " + std::to_string(stop->failures) +
                             " failures in the last " + std::to_string(stop->window) + " attempts" +
                             (stop->wholeLine ? "" : ", the failing station alone") + ".");
        else if (!assignment.stop)
            say(run.out, "It has no failure rule (--stop-after K/M gives it one).");
        return kDone;
    }
};

} // namespace

std::unique_ptr<PlantCommand> assignCommand() {
    return std::make_unique<AssignCommand>();
}

} // namespace j4::cli::plant
