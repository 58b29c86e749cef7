#pragma once
// A j4_plant command: one for each thing the plant decides (a release added,
// a line assigned, its status, a hold and its end), each in a file of its
// own, all run the same way against the plant's database.

#include "plant_store.h"
#include "service_manager.h"
#include "view_server.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace j4::cli::plant {

// j4_plant's exit statuses.
enum ExitStatus : int {
    kDone = 0,
    kRefused = 1,  // the plant's rules said no: an untrusted release, an unknown line
    kUsage = 2,    // the command line is wrong
    kDatabase = 3, // the database could not be reached or failed
};

struct PlantOptions {
    std::string command;                // release, assign, status, hold, resume
    std::vector<std::string> arguments; // what follows it
    std::string records;                // the database's URI
    bool json = false;
    // release add
    std::string signature;
    std::vector<std::string> trustKeys;
    // assign
    j4::plant::Assignment assignment;
    // hold
    std::string reason;
    // serve
    j4::plant::ServeOptions serve;
};

struct PlantRun {
    const PlantOptions& options;
    std::FILE* out;
    std::FILE* err;
    std::string by; // who asks: the account's name
};

class PlantCommand {
public:
    virtual ~PlantCommand() = default;
    virtual int execute(const PlantRun& run) const = 0;
};

// The plant's store for a command, or the exit status once its failure is said.
Result<j4::plant::PlantStore, int> openStore(const PlantRun& run);

// A command on the plant's store, opened (the layout made or brought up)
// before it runs.
class StoreCommand : public PlantCommand {
public:
    int execute(const PlantRun& run) const final {
        auto store = openStore(run);
        return store ? executeOn(run, *store) : store.error();
    }

protected:
    virtual int executeOn(const PlantRun& run, j4::plant::PlantStore& store) const = 0;
};
// The same for serve: a database away (the plant's server booting before the
// database's) is waited for, said once, until a stop.
Result<j4::plant::PlantStore, int> storeForServe(const PlantRun& run);

std::unique_ptr<PlantCommand> releaseCommand();
std::unique_ptr<PlantCommand> releaseListCommand();
std::unique_ptr<PlantCommand> assignCommand();
std::unique_ptr<PlantCommand> statusCommand();
std::unique_ptr<PlantCommand> holdCommand();
std::unique_ptr<PlantCommand> resumeCommand();
std::unique_ptr<PlantCommand> serveCommand();

// "j4_plant: TEXT" on standard error; the status for the error's kind.
int failed(const PlantRun& run, const j4::plant::PlantError& error);
// A line on `to`, with its priority where that is the journal.
void say(std::FILE* to, const std::string& text, Priority priority = Priority::Info);

// The program: its arguments (argv[0] first) to its exit status.
int runPlant(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err);

} // namespace j4::cli::plant
