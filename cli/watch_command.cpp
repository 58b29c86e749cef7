#include "command.h"

#include "exit_status.h"
#include "file_preparation.h"
#include "flash_report.h"
#include "json_events.h"
#include "line_follower.h"
#include "progress.h"
#include "read_only.h"
#include "run_outlets.h"
#include "scan_reader.h"
#include "slots.h"
#include "station.h"
#include "station_lines.h"

#include <memory>
#include <optional>

namespace j4::cli {
namespace {

using namespace runs;
using namespace release;
using namespace records;
using namespace station;
using namespace options;

// A line station's release, as the plant assigned it and the station's
// own keys checked it; or nothing, said, when it cannot follow the line.
std::unique_ptr<plant::LineFollower> followLine(const FlashOptions& options,
                                                DeviceListener& listener,
                                                const std::atomic<bool>& stop,
                                                const Output& output) {
    const std::string& line = options.line.lineName;
    plant::FollowSettings settings{
        line, options.line.recordsUrl,
        lineOrigin(options.line.station, options.line.operatorName).station, options.line.release,
        plant::lineStateFolder(line)};
    settings.offlineUnits = options.line.offlineUnits;
    auto follower = plant::LineFollower::start(std::move(settings), listener, stop);
    if (!follower) {
        output.error(follower.error());
        return nullptr;
    }
    output.say("Line " + line + ": " + (*follower)->describe() + ".");
    return std::move(*follower);
}

// Then a summary per slot. 0 when every attempt completed, else the status
// of the first failure; 130 only when a transfer was cut.
int watch(const FlashOptions& options, const FlashContext& context, const std::atomic<bool>& stop,
          const Output& output) {
    if (const auto usable = checkSlots(options.targets); !usable) {
        output.usageError(usable.error());
        return kUsage;
    }
    sayPortsFileProblems(output);
    std::vector<std::string> labels;
    for (std::size_t i = 1; i <= options.targets.size(); ++i)
        labels.push_back("slot " + std::to_string(i));
    // Quiet but for the trace with --verbose: the station's lines instead.
    ProgressBoard board(std::move(labels), ProgressBoard::Mode::Quiet, options.verbose,
                        output.err());
    StationLines lines(options.targets.size(), board, output);
    std::unique_ptr<plant::LineFollower> follower;
    PreparedFile prepared;
    if (!options.line.lineName.empty()) {
        follower = followLine(options, lines, stop, output);
        if (!follower)
            return kFileRefused;
        const plant::Following now = follower->following();
        prepared.decoded = now.decoded;
    } else {
        prepared = prepare(options, stop, output);
        if (!prepared.ok())
            return exitStatus(prepared.refusal);
    }
    std::optional<JsonListener> json;
    if (output.json() != nullptr)
        json.emplace(*output.json(), std::vector<std::string>(options.targets.size()), true, lines,
                     lineOrigin(options.line.station, options.line.operatorName));
    Metered metered(options, options.targets.size(),
                    json ? static_cast<DeviceListener&>(*json) : lines);
    metered.sending(*prepared.decoded);
    RecordsOutput recordsOutput(output, metered.counts());
    RecordKeeping records(recordOptions(options), recordsOutput);
    if (const auto problem = records.log().check())
        output.error(*problem);
    records.reportLive(options.targets.size(), options.line.lineName);
    LiveListener live(metered.listener(), records.live());
    std::optional<UnitScans> units;
    std::optional<ScanReader> reader;
    if (!options.line.unitsFrom.empty()) {
        auto source = ScanSource::open(options.line.unitsFrom, context.in);
        if (!source) {
            output.error(source.error());
            return kUsage;
        }
        units.emplace(*UnitScans::withRule(options.line.unitRule));
        reader.emplace(
            std::move(*source), *units,
            ScanReader::Listener{[&output](const Result<ScanHeard>& heard) {
                                     heard ? output.say(clockTime() + "  " + heard->text)
                                           : output.error(heard.error());
                                     if (output.json() != nullptr)
                                         writeScan(*output.json(), heard);
                                 },
                                 [&output](const std::string& text) { output.error(text); }},
            options.line.requireUnit);
    }
    std::optional<ResultHook> hook;
    if (!options.line.onResult.empty()) {
        hook.emplace(options.line.onResult);
        if (rootIsReadOnly())
            output.error("The result command runs where the file system is read-only (a "
                         "service's sandbox): what it writes outside the station's own folders "
                         "must be given to the service (systemctl edit, ReadWritePaths=).");
    }
    // After each unit a line station says how far its work order is.
    std::optional<plant::UnitsTold> told;
    if (follower)
        told.emplace(*follower, [&output, &options, line = follower.get()] {
            if (!output.toJournal()) // the journal keeps a line per unit
                output.say("Line " + options.line.lineName + ": " + line->describe() + ".");
        });
    const std::size_t slotCount = options.targets.size();
    output.say("Watching " + std::to_string(slotCount) + (slotCount == 1 ? " slot" : " slots") +
               (output.toJournal() ? "." : "; Ctrl+C ends the station."));
    tellServiceManager("READY=1");
    const StationResult result = runStation(
        prepared.decoded, options.targets, follower ? follower->following().filePath : options.file,
        {linksFor(context, options), live, stop, &records.log()},
        {options.line.settle, units ? &*units : nullptr, options.line.requireUnit,
         hook ? &*hook : nullptr, told ? &*told : nullptr});
    tellServiceManager("STOPPING=1");
    hook.reset(); // the last attempt's command, ended
    metered.ended();
    output.say("Station summary:");
    for (std::size_t i = 0; i < result.tallies.size(); ++i)
        output.say("  " + tallyLine(i, options.targets[i], result.tallies[i],
                                    i < options.line.slotNames.size() ? options.line.slotNames[i]
                                                                      : std::string()));
    finishRecords(records, output);
    const int status = result.firstFailure ? exitStatus(*result.firstFailure)
                       : result.cutByStop  ? kInterrupted
                                           : kCompleted;
    if (output.json() != nullptr) {
        nlohmann::json slotCounts = nlohmann::json::array();
        for (std::size_t i = 0; i < result.tallies.size(); ++i)
            slotCounts.push_back({{"slot", i + 1},
                                  {"name", slotLabel(options.targets[i])},
                                  {"completed", result.tallies[i].completed},
                                  {"failed", result.tallies[i].failed}});
        output.json()->write("summary", {{"exit_status", status}, {"slots", slotCounts}});
    }
    return status;
}

class WatchCommand final : public Command {
public:
    int execute(const CommandRun& run) const override {
        return watch(run.options, run.context, run.stop, run.output);
    }
};

} // namespace

std::unique_ptr<Command> watchCommand() {
    return std::make_unique<WatchCommand>();
}

} // namespace j4::cli
