#include "station_command.h"

#include "exit_status.h"
#include "flash_report.h"
#include "json_events.h"
#include "progress.h"
#include "run_pieces.h"
#include "slots.h"
#include "station.h"
#include "station_lines.h"

#include <memory>
#include <optional>
#include <thread>

namespace j4::cli {

using namespace runs;

namespace {

// A line of `in`, NUL bytes and all, however long; nothing at its end.
std::optional<std::string> readLine(std::FILE* in) {
    std::string line;
    for (int c; (c = std::getc(in)) != EOF;) {
        line += static_cast<char>(c);
        if (c == '\n')
            return line;
    }
    return line.empty() ? std::nullopt : std::optional(line);
}

// Units scanned on standard input, a line each, until it ends: each checked
// and kept for its device, the operator told either way. A reader still
// waiting for a line when the station ends is left to the program's end.
class UnitReader {
public:
    UnitReader(std::FILE* in, UnitScans& units, const Output& output, bool required)
        : thread_([in, &units, &output, required, ended = ended_] {
              while (const auto line = readLine(in)) {
                  const auto heard = units.scan(*line);
                  heard ? output.say(clockTime() + "  " + *heard) : output.error(heard.error());
              }
              // The scanner is gone (its cable, its program): said once, as
              // nothing more can be scanned.
              output.error(required ? "The units' scans ended (standard input closed): no device "
                                      "can be updated until the station is started again."
                                    : "The units' scans ended (standard input closed): devices "
                                      "are updated without a unit from now on.");
              *ended = true;
          }) {}
    ~UnitReader() {
        if (*ended_)
            thread_.join();
        else
            thread_.detach();
    }

private:
    std::shared_ptr<std::atomic<bool>> ended_ = std::make_shared<std::atomic<bool>>(false);
    std::thread thread_;
};

} // namespace

int watch(const FlashOptions& options, const FlashContext& context, const std::atomic<bool>& stop,
          const Output& output) {
    if (const auto usable = checkSlots(options.targets); !usable) {
        output.usageError(usable.error());
        return kUsage;
    }
    sayPortsFileProblems(output);
    const PreparedFile prepared = prepare(options, stop, output);
    if (!prepared.ok())
        return exitStatus(prepared.refusal);
    std::vector<std::string> labels;
    for (std::size_t i = 1; i <= options.targets.size(); ++i)
        labels.push_back("slot " + std::to_string(i));
    // Quiet but for the trace with --verbose: the station's lines instead.
    ProgressBoard board(std::move(labels), ProgressBoard::Mode::Quiet, options.verbose,
                        output.err());
    StationLines lines(options.targets.size(), board, output);
    std::optional<JsonListener> json;
    if (output.json() != nullptr)
        json.emplace(*output.json(), std::vector<std::string>(options.targets.size()), true, lines);
    Metered metered(options, options.targets.size(),
                    json ? static_cast<DeviceListener&>(*json) : lines);
    RecordsOutput recordsOutput(output, metered.counts());
    RecordKeeping records(recordOptions(options), recordsOutput);
    std::optional<UnitScans> units;
    std::optional<UnitReader> reader;
    if (options.unitsFromInput) {
        units.emplace(*UnitScans::withRule(options.line.unitRule));
        reader.emplace(context.in, *units, output, options.line.requireUnit);
    }
    std::optional<ResultHook> hook;
    if (!options.line.onResult.empty())
        hook.emplace(options.line.onResult);
    output.say("Watching " + std::to_string(options.targets.size()) +
               " slots; Ctrl+C ends the station.");
    const StationResult result =
        runStation(prepared.decoded, options.targets, options.file,
                   {linksFor(context, options), metered.listener(), stop, &records.log()},
                   {options.line.settle, units ? &*units : nullptr, options.line.requireUnit,
                    hook ? &*hook : nullptr});
    hook.reset(); // the last attempt's command, ended
    output.say("Station summary:");
    for (std::size_t i = 0; i < result.tallies.size(); ++i)
        output.say("  " + tallyLine(i, options.targets[i], result.tallies[i]));
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

} // namespace j4::cli
