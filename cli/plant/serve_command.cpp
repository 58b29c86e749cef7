// j4_plant serve: the plant's live page, until Ctrl+C or SIGTERM.

#include "plant_command.h"

#include "interrupts.h"
#include "view_server.h"

namespace j4::cli::plant {
namespace {

class ServeCommand final : public PlantCommand {
public:
    int execute(const PlantRun& run, j4::plant::PlantStore&) const override {
        const auto& stop = installInterruptHandlers();
        view::ServeOptions serve = run.options.serve;
        serve.records = run.options.records;
        serve.told = [&run](const std::string& trouble) {
            say(run.err,
                trouble.empty() ? std::string("j4_plant: the plant's database answers again")
                                : "j4_plant: the plant's database cannot be read (" + trouble +
                                      "): the page says so, and it is tried again every 5 s",
                trouble.empty() ? Priority::Info : Priority::Warning);
        };
        if (const auto usable = view::checkServeOptions(serve); !usable) {
            say(run.err, "j4_plant: " + usable.error());
            return kUsage;
        }
        const auto listening = [&] {
            say(run.err, "j4_plant: serving the plant's page on " +
                             std::string(serve.tlsCert.empty() ? "http" : "https") + "://" +
                             serve.host + ":" + std::to_string(serve.port) + "/");
            tellServiceManager("READY=1");
        };
        const auto served = view::serve(serve, stop, listening);
        tellServiceManager("STOPPING=1");
        if (!served) {
            say(run.err, "j4_plant: " + served.error());
            return kRefused;
        }
        return kDone;
    }
};

} // namespace

std::unique_ptr<PlantCommand> serveCommand() {
    return std::make_unique<ServeCommand>();
}

} // namespace j4::cli::plant
