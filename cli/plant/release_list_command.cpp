// j4_plant release list: the releases the plant may assign, oldest first.

#include "plant_command.h"

#include <nlohmann/json.hpp>

namespace j4::cli::plant {
namespace {

class ReleaseListCommand final : public StoreCommand {
protected:
    int executeOn(const PlantRun& run, j4::plant::PlantStore& store) const override {
        const auto releases = store.releases();
        if (!releases)
            return failed(run, releases.error());
        if (run.options.json) {
            auto list = nlohmann::json::array();
            for (const auto& r : *releases)
                list.push_back(
                    {{"version", r.version.empty() ? nlohmann::json() : nlohmann::json(r.version)},
                     {"sha256", r.sha256},
                     {"key_id", r.keyId},
                     {"added_by", r.addedBy},
                     {"added", r.added}});
            say(run.out, list.dump());
            return kDone;
        }
        if (releases->empty())
            say(run.out, "No release yet: add one with j4_plant release add FILE.");
        for (const auto& r : *releases)
            say(run.out, (r.version.empty() ? "(no version)" : r.version) + "  " + r.sha256 +
                             "  key " + r.keyId + "  added by " + r.addedBy + " at " + r.added);
        return kDone;
    }
};

} // namespace

std::unique_ptr<PlantCommand> releaseListCommand() {
    return std::make_unique<ReleaseListCommand>();
}

} // namespace j4::cli::plant
