#include "command.h"

#include "device_runs.h"
#include "exit_status.h"
#include "file_preparation.h"
#include "flash_report.h"
#include "json_events.h"
#include "progress.h"
#include "record_keeping.h"
#include "run_outlets.h"

#include <algorithm>

namespace j4::cli {
namespace {

using namespace runs;
using namespace records;

// Every device of a refused file is logged as refused: the log holds an
// attempt for each device, sent or not.
void logRefusal(const PreparedFile& prepared, const FlashOptions& options,
                const std::vector<Target>& targets, LogWriter& log, const Output& output) {
    for (const Target& target : targets) {
        UpdateRequest request = target.request;
        request.filePath = options.file;
        if (const auto warning = log.append(refusedAttempt(request, prepared)))
            output.error(*warning);
    }
}

// Progress as each device's thread reports; what the operator must know on
// standard error.
class RunListener final : public DeviceListener {
public:
    RunListener(ProgressBoard& board, const Output& output) : board_(board), output_(output) {}
    void started(std::size_t device, std::size_t total) override { board_.started(device, total); }
    void sending(std::size_t device, const TransferState& state) override {
        board_.sending(device, state);
    }
    void answered(std::size_t device, const TransferState& state,
                  std::chrono::steady_clock::duration sinceSent) override {
        board_.answered(device, state, sinceSent);
    }
    void finished(std::size_t device, const runs::AttemptReport& report) override {
        board_.finished(device, report);
    }
    void notice(const std::string& text) override { output_.error(text); }

private:
    ProgressBoard& board_;
    const Output& output_;
};

ProgressBoard::Mode progressMode(const FlashOptions& options, const FlashContext& context) {
    using Mode = ProgressBoard::Mode;
    return options.quiet ? Mode::Quiet : context.errIsTerminal ? Mode::Terminal : Mode::Lines;
}

int update(const FlashOptions& options, const FlashContext& context, const std::atomic<bool>& stop,
           const Output& output) {
    sayPortsFileProblems(output);
    const auto targets = resolveTargets(options.targets, options.file);
    if (!targets && targets.error().usage) {
        output.usageError(targets.error().text);
        return kUsage;
    }
    if (!targets) {
        output.error(targets.error().text);
        output.error(linkErrorText(LinkError::PortNotFound, {}));
        return kPortFailed;
    }
    RecordsOutput recordsOutput(output, nullptr);
    RecordKeeping records(recordOptions(options), recordsOutput);
    LogWriter& log = records.log();
    // File first: decoded once for every device, before any port is opened.
    const PreparedFile prepared = prepare(options, stop, output);
    if (!prepared.ok()) {
        if (prepared.refusal != UpdateOutcome::Interrupted)
            logRefusal(prepared, options, *targets, log, output);
        finishRecords(records, output);
        return exitStatus(prepared.refusal);
    }
    std::vector<std::string> labels;
    for (const Target& target : *targets)
        labels.push_back(target.label);
    ProgressBoard board(labels, progressMode(options, context), options.verbose, output.err());
    RunListener lines(board, output);
    std::optional<JsonListener> json;
    if (output.json() != nullptr)
        json.emplace(*output.json(), labels, false, lines,
                     lineOrigin(options.station.stationId, options.station.operatorName));
    // --metrics counts each device of the run as a slot, as a station does.
    Metered metered(options, targets->size(), json ? static_cast<DeviceListener&>(*json) : lines);
    recordsOutput.countIn(metered.counts());
    metered.sending(*prepared.decoded);
    const auto reports = runOnDevices(prepared.decoded, *targets,
                                      {linksFor(context, options), metered.listener(), stop, &log});
    for (std::size_t i = 0; i < reports.size(); ++i)
        if (!reports[i].adapterNote.empty())
            output.error((*targets)[i].label + ": " + reports[i].adapterNote);
    metered.ended();
    const int status = reports.size() == 1 ? reportOne(reports.front(), output)
                                           : summarize(*targets, reports, output);
    finishRecords(records, output);
    if (output.json() != nullptr) {
        const auto completed = std::count_if(reports.begin(), reports.end(),
                                             [](const auto& r) { return r.completed(); });
        output.json()->write("summary", {{"exit_status", status},
                                         {"completed", completed},
                                         {"failed", std::ptrdiff_t(reports.size()) - completed}});
    }
    return status;
}

class UpdateCommand final : public Command {
public:
    int execute(const CommandRun& run) const override {
        return update(run.options, run.context, run.stop, run.output);
    }
};

} // namespace

std::unique_ptr<Command> updateCommand() {
    return std::make_unique<UpdateCommand>();
}

} // namespace j4::cli
