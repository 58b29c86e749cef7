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
std::unique_ptr<line::LineFollower> followLine(const FlashOptions& options,
                                               DeviceListener& listener,
                                               const std::atomic<bool>& stop,
                                               const Output& output) {
    const std::string& line = options.station.line;
    line::FollowSettings settings{
        line, options.station.recordsUrl,
        lineOrigin(options.station.stationId, options.station.operatorName).station,
        options.station.release, line::lineStateFolder(line)};
    settings.offlineUnits = options.station.offlineUnits;
    auto follower = line::LineFollower::start(std::move(settings), listener, stop);
    if (!follower) {
        output.error(follower.error());
        return nullptr;
    }
    output.say("Line " + line + ": " + (*follower)->describe() + ".");
    return std::move(*follower);
}

// Scanned units and their reader, when the station reads them.
struct UnitScanning {
    std::optional<UnitScans> units;
    std::optional<ScanReader> reader;
};

bool startScanning(UnitScanning& scanning, const FlashOptions& options, const FlashContext& context,
                   const Output& output) {
    if (options.station.unitsFrom.empty())
        return true;
    auto source = ScanSource::open(options.station.unitsFrom, context.in);
    if (!source) {
        output.error(source.error());
        return false;
    }
    scanning.units.emplace(*UnitScans::withRule(options.station.unitRule));
    scanning.reader.emplace(
        std::move(*source), *scanning.units,
        ScanReader::Listener{[&output](const Result<ScanHeard>& heard) {
                                 heard ? output.say(clockTime() + "  " + heard->text)
                                       : output.error(heard.error());
                                 if (output.json() != nullptr)
                                     writeScan(*output.json(), heard);
                             },
                             [&output](const std::string& text) { output.error(text); }},
        options.station.requireUnit);
    return true;
}

void startHook(std::optional<ResultHook>& hook, const FlashOptions& options, const Output& output) {
    if (options.station.onResult.empty())
        return;
    hook.emplace(options.station.onResult);
    if (rootIsReadOnly())
        output.error("The result command runs where the file system is read-only (a "
                     "service's sandbox): what it writes outside the station's own folders "
                     "must be given to the service (systemctl edit, ReadWritePaths=).");
}

void sayTallies(const StationResult& result, const FlashOptions& options, const Output& output) {
    output.say("Station summary:");
    for (std::size_t i = 0; i < result.tallies.size(); ++i)
        output.say("  " + tallyLine(i, options.targets[i], result.tallies[i],
                                    i < options.station.slotNames.size()
                                        ? options.station.slotNames[i]
                                        : std::string()));
}

// 0 when every attempt completed, else the status of the first failure;
// 130 only when a transfer was cut. In the JSON summary too.
int summarized(const StationResult& result, const FlashOptions& options, const Output& output) {
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

std::vector<std::string> slotLabels(std::size_t count) {
    std::vector<std::string> labels;
    for (std::size_t i = 1; i <= count; ++i)
        labels.push_back("slot " + std::to_string(i));
    return labels;
}

void sayWatching(std::size_t count, const Output& output) {
    output.say("Watching " + std::to_string(count) + (count == 1 ? " slot" : " slots") +
               (output.toJournal() ? "." : "; Ctrl+C ends the station."));
    tellServiceManager("READY=1");
}

// Then a summary per slot.
int watch(const FlashOptions& options, const FlashContext& context, const std::atomic<bool>& stop,
          const Output& output) {
    if (const auto usable = checkSlots(options.targets); !usable) {
        output.usageError(usable.error());
        return kUsage;
    }
    sayPortsFileProblems(output);
    // Quiet but for the trace with --verbose: the station's lines instead.
    ProgressBoard board(slotLabels(options.targets.size()), ProgressBoard::Mode::Quiet,
                        options.verbose, output.err());
    StationLines lines(options.targets.size(), board, output);
    std::unique_ptr<line::LineFollower> follower;
    PreparedFile prepared;
    if (!options.station.line.empty()) {
        if (follower = followLine(options, lines, stop, output); !follower)
            return kFileRefused;
        prepared.decoded = follower->following().decoded;
    } else if (prepared = prepare(options, stop, output); !prepared.ok()) {
        return exitStatus(prepared.refusal);
    }
    std::optional<JsonListener> json;
    if (output.json() != nullptr)
        json.emplace(*output.json(), std::vector<std::string>(options.targets.size()), true, lines,
                     lineOrigin(options.station.stationId, options.station.operatorName));
    Metered metered(options, options.targets.size(),
                    json ? static_cast<DeviceListener&>(*json) : lines);
    metered.sending(*prepared.decoded);
    RecordsOutput recordsOutput(output, metered.counts());
    RecordKeeping records(recordOptions(options), recordsOutput);
    if (const auto problem = records.log().check())
        output.error(*problem);
    records.reportLive(options.targets.size(), options.station.line);
    LiveListener live(metered.listener(), records.live());
    UnitScanning scanning;
    if (!startScanning(scanning, options, context, output))
        return kUsage;
    std::optional<ResultHook> hook;
    startHook(hook, options, output);
    // After each unit a line station says how far its work order is.
    std::optional<line::UnitsTold> told;
    if (follower)
        told.emplace(*follower, [&output, &options, line = follower.get()] {
            if (!output.toJournal()) // the journal keeps a line per unit
                output.say("Line " + options.station.line + ": " + line->describe() + ".");
        });
    sayWatching(options.targets.size(), output);
    const StationResult result = runStation(
        prepared.decoded, options.targets, follower ? follower->following().filePath : options.file,
        {linksFor(context, options), live, stop, &records.log()},
        {options.station.settle, scanning.units ? &*scanning.units : nullptr,
         options.station.requireUnit, hook ? &*hook : nullptr, told ? &*told : nullptr});
    tellServiceManager("STOPPING=1");
    hook.reset(); // the last attempt's command, ended
    metered.ended();
    sayTallies(result, options, output);
    finishRecords(records, output);
    return summarized(result, options, output);
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
