// j4_plant serve: the plant's live page, until Ctrl+C or SIGTERM.

#include "plant_command.h"

#include "interrupts.h"
#include "view_server.h"

namespace j4::cli::plant {
namespace {

class ServeCommand final : public PlantCommand {
public:
    int execute(const PlantRun& run) const override {
        // The layout made or brought up first, the database waited for;
        // the page's server then keeps connections of its own.
        if (const auto store = storeForServe(run); !store)
            return store.error();
        const auto& stop = installInterruptHandlers();
        j4::plant::ServeOptions serve = run.options.serve;
        serve.records = run.options.records;
        serve.told = [&run](const std::string& trouble) {
            say(run.err,
                trouble.empty() ? std::string("j4_plant: the plant's database answers again")
                                : "j4_plant: the plant's database cannot be read (" + trouble +
                                      "): the page says so, and it is tried again every 5 s",
                trouble.empty() ? Priority::Info : Priority::Warning);
        };
        if (const auto usable = j4::plant::checkServeOptions(serve); !usable) {
            say(run.err, "j4_plant: " + usable.error());
            return kUsage;
        }
        const auto listening = [&] {
            say(run.err, "j4_plant: serving the plant's page on " +
                             std::string(serve.tlsCert.empty() ? "http" : "https") + "://" +
                             serve.host + ":" + std::to_string(serve.port) + "/");
            tellServiceManager("READY=1");
        };
        const auto served = j4::plant::serve(serve, stop, listening);
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
