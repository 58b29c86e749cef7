// j4_plant status [LINE]: what each line flashes and how far it is.

#include "plant_command.h"

#include <nlohmann/json.hpp>

namespace j4::cli::plant {
namespace {

using j4::plant::LineStatus;

nlohmann::json asJson(const LineStatus& line) {
    using nlohmann::json;
    const auto orNull = [](const std::string& text) { return text.empty() ? json() : json(text); };
    return {{"line", line.line},
            {"release_version", orNull(line.version)},
            {"file_sha256", line.sha256},
            {"work_order", line.workOrder},
            {"lot", orNull(line.lot)},
            {"part_number", orNull(line.partNumber)},
            {"quantity", line.quantity},
            {"done", line.done},
            {"stop_after", line.stop ? json(std::to_string(line.stop->failures) + "/" +
                                            std::to_string(line.stop->window))
                                     : json()},
            {"stop_holds", line.stop ? json(line.stop->wholeLine ? "line" : "station") : json()},
            {"held", orNull(line.heldBecause)},
            {"complete", line.done >= line.quantity},
            {"refused", orNull(line.refused)},
            {"assigned_by", line.assignedBy},
            {"assigned", line.assigned},
            {"stations", line.stations}};
}

std::string asText(const LineStatus& line) {
    std::string text = "Line " + line.line + ": release " +
                       (line.version.empty() ? line.sha256.substr(0, 12) : line.version) +
                       ", work order " + line.workOrder;
    if (!line.lot.empty())
        text += ", lot " + line.lot;
    if (!line.partNumber.empty())
        text += ", part " + line.partNumber;
    text +=
        "\n  " + std::to_string(line.done) + " of " + std::to_string(line.quantity) + " units done";
    if (line.stop)
        text += std::string(line.stop->wholeLine ? "; holds" : "; holds the failing station") +
                " after " + std::to_string(line.stop->failures) + " failures in " +
                std::to_string(line.stop->window) + " attempts";
    text += "\n  " + (!line.heldBecause.empty()    ? "HELD: " + line.heldBecause
                      : line.done >= line.quantity ? std::string("complete: the work order is done")
                                                   : std::string("running"));
    if (!line.refused.empty())
        text += "\n  REFUSED by its stations: " + line.refused;
    text += "\n  stations: ";
    if (line.stations.empty())
        text += "none yet";
    for (std::size_t i = 0; i < line.stations.size(); ++i)
        text += (i ? ", " : "") + line.stations[i];
    text += "\n  assigned by " + line.assignedBy + " at " + line.assigned;
    return text;
}

class StatusCommand final : public StoreCommand {
protected:
    int executeOn(const PlantRun& run, j4::plant::PlantStore& store) const override {
        const std::string line = run.options.arguments.empty() ? "" : run.options.arguments[0];
        const auto lines = store.status(line);
        if (!lines)
            return failed(run, lines.error());
        if (run.options.json) {
            nlohmann::json list = nlohmann::json::array();
            for (const LineStatus& status : *lines)
                list.push_back(asJson(status));
            say(run.out, list.dump());
        } else if (lines->empty()) {
            say(run.out, "No line has an assignment.");
        } else {
            for (const LineStatus& status : *lines)
                say(run.out, asText(status));
        }
        return kDone;
    }
};

} // namespace

std::unique_ptr<PlantCommand> statusCommand() {
    return std::make_unique<StatusCommand>();
}

} // namespace j4::cli::plant
