#include "flash_command.h"

#include "device_runs.h"
#include "exit_status.h"
#include "flash_options.h"
#include "flash_report.h"
#include "interrupts.h"
#include "j4_version.h"
#include "link_factory.h"
#include "progress.h"
#include "record_keeping.h"
#include "release_check.h"
#include "send_log.h"
#include "slots.h"
#include "station.h"
#include "station_metrics.h"

#include <cerrno>
#include <cstring>

namespace j4::cli {
namespace {

using namespace runs;

int writeImage(const std::vector<std::uint8_t>& image, const std::string& path,
               const Output& output) {
    const auto fail = [&](int error) {
        output.error("Cannot write " + path + ": " + std::strerror(error));
        return kUsage;
    };
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return fail(errno);
    // A full disk shows only when the buffer is flushed, or at close.
    const bool written =
        std::fwrite(image.data(), 1, image.size(), out) == image.size() && std::fflush(out) == 0;
    const int error = errno;
    if (std::fclose(out) != 0 || !written)
        return fail(written ? errno : error);
    return kCompleted;
}

// Decodes FILE, read once, its signature checked where keys are trusted;
// says why not, once, when it cannot be used.
PreparedFile prepare(const FlashOptions& options, const std::atomic<bool>& stop,
                     const Output& output) {
    const auto policy = ReleasePolicy::load(options.release);
    if (!policy) {
        output.error(policy.error());
        return {nullptr, UpdateOutcome::FileRefused, policy.error(), {}};
    }
    PreparedFile prepared = policy->prepare(options.file, UpdateFileReader::Kinds::Any, &stop);
    expectSha256(prepared, options.expectedSha256);
    if (prepared.ok())
        return prepared;
    // The detail when it says more than the file's name: which signature,
    // which keys.
    if (prepared.refusal == UpdateOutcome::FileUnreadable ||
        (prepared.refusal == UpdateOutcome::FileRefused && !prepared.detail.empty() &&
         prepared.detail != options.file))
        output.error(prepared.detail);
    output.error(prepared.text);
    return prepared;
}

int check(const FlashOptions& options, const std::atomic<bool>& stop, const Output& output) {
    const PreparedFile prepared = prepare(options, stop, output);
    if (!prepared.ok())
        return exitStatus(prepared.refusal);
    if (!options.imageOut.empty()) {
        if (const int status = writeImage(prepared.decoded->image, options.imageOut, output);
            status != kCompleted)
            return status;
    }
    std::fprintf(output.out(), "%s: %zu frames, %zu bytes\n", options.file.c_str(),
                 prepared.decoded->frames, prepared.decoded->image.size());
    if (const auto& signature = prepared.decoded->signature) {
        const auto orDash = [](const std::string& text) { return text.empty() ? "-" : text; };
        output.say("signed by key " + signature->keyId + ", version " + orDash(signature->version) +
                   ", expires " + orDash(signature->expires) + ", timestamp " +
                   orDash(signature->timestamp));
    }
    return kCompleted;
}

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
// standard error; with a station, a result line per attempt besides.
class RunListener final : public DeviceListener {
public:
    RunListener(ProgressBoard& board, const Output& output, bool station)
        : board_(board), output_(output), station_(station) {}
    void started(std::size_t device, std::size_t total) override { board_.started(device, total); }
    void sending(std::size_t device, const TransferState& state) override {
        board_.sending(device, state);
    }
    void answered(std::size_t device, const TransferState& state,
                  std::chrono::steady_clock::duration sinceSent) override {
        board_.answered(device, state, sinceSent);
    }
    void finished(std::size_t device, const UpdateReport& report) override {
        if (station_)
            output_.say(attemptLine(report));
        board_.finished(device, report);
    }
    void notice(const std::string& text) override { output_.error(text); }

private:
    ProgressBoard& board_;
    const Output& output_;
    bool station_;
};

// The run's listener, with --metrics the metrics kept on the way.
class Metered {
public:
    Metered(const FlashOptions& options, std::size_t slotCount, DeviceListener& listener)
        : listener_(listener) {
        if (options.metricsPath.empty())
            return;
        counts_.emplace(options.metricsPath, stationOrHost(options.station), slotCount);
        if (const auto problem = counts_->write())
            listener.notice(*problem);
        metrics_.emplace(*counts_, listener);
    }
    DeviceListener& listener() {
        if (metrics_)
            return *metrics_;
        return listener_;
    }
    StationMetrics* counts() { return counts_ ? &*counts_ : nullptr; }

private:
    DeviceListener& listener_;
    std::optional<StationMetrics> counts_;
    std::optional<MetricsListener> metrics_;
};

// The records' sender: what it says on standard error, how many records
// wait in the metrics.
class RecordsOutput final : public RecordsListener {
public:
    RecordsOutput(const Output& output, StationMetrics* metrics)
        : output_(output), metrics_(metrics) {}
    void said(const std::string& text) override { output_.error(text); }
    void unsentChanged(std::size_t count) override {
        if (metrics_ != nullptr)
            if (const auto problem = metrics_->setUnsent(count))
                output_.error(*problem);
    }

private:
    const Output& output_;
    StationMetrics* metrics_;
};

RecordOptions recordOptions(const FlashOptions& options) {
    return {options.logPath, options.recordsUrl, options.station, options.operatorName};
}

// What waits for the database at the end is said, never lost: it stays in
// the log. The bound keeps a down database from holding the program.
void finishRecords(RecordKeeping& records, const Output& output) {
    if (const auto left = records.finish(std::chrono::seconds(5)))
        output.error(*left);
}

int sendRecords(const FlashOptions& options, const std::atomic<bool>& stop, const Output& output) {
    const auto sent = sendLog(options.sendLog, options.recordsUrl, stop,
                              [&](const std::string& line) { output.error(line); });
    if (!sent) {
        output.error(sent.error());
        return stop ? kInterrupted : kRecordsFailed;
    }
    const auto count = [](std::size_t n, const char* one, const char* many) {
        return std::to_string(n) + (n == 1 ? one : many);
    };
    output.say(options.sendLog + ": " + count(sent->added, " new record", " new records") +
               " sent, " + std::to_string(sent->present) + " already in the database" +
               (sent->damaged
                    ? ", " + count(sent->damaged, " damaged line", " damaged lines") + " skipped."
                    : "."));
    return kCompleted;
}

// The links of a run: the test's own, or the real ones.
LinkMaker linksFor(const FlashContext& context, const FlashOptions& options) {
    return [&context, timeout = options.timeout, tls = options.tls](const std::string& device) {
        return context.makeLink ? context.makeLink(device, timeout)
                                : makeLink(device, timeout, tls);
    };
}

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
    ProgressBoard board(std::move(labels), progressMode(options, context), options.verbose,
                        output.err());
    RunListener listener(board, output, false);
    const auto reports = runOnDevices(prepared.decoded, *targets,
                                      {linksFor(context, options), listener, stop, &log});
    for (std::size_t i = 0; i < reports.size(); ++i)
        if (!reports[i].adapterNote.empty())
            output.error((*targets)[i].label + ": " + reports[i].adapterNote);
    const int status = reports.size() == 1 ? reportOne(reports.front(), output)
                                           : summarize(*targets, reports, output);
    finishRecords(records, output);
    return status;
}

// Until the stop: then a summary per slot. 0 when every attempt completed,
// else the status of the first failure; 130 only when a transfer was cut.
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
    // Quiet but for the trace with --verbose: a line per attempt instead.
    ProgressBoard board(std::move(labels), ProgressBoard::Mode::Quiet, options.verbose,
                        output.err());
    RunListener listener(board, output, true);
    Metered metered(options, options.targets.size(), listener);
    RecordsOutput recordsOutput(output, metered.counts());
    RecordKeeping records(recordOptions(options), recordsOutput);
    output.say("Watching " + std::to_string(options.targets.size()) +
               " slots; Ctrl+C ends the station.");
    const StationResult result =
        runStation(prepared.decoded, options.targets, options.file,
                   {linksFor(context, options), metered.listener(), stop, &records.log()});
    output.say("Station summary:");
    for (std::size_t i = 0; i < result.tallies.size(); ++i)
        output.say("  " + tallyLine(i, options.targets[i], result.tallies[i]));
    finishRecords(records, output);
    if (result.firstFailure)
        return exitStatus(*result.firstFailure);
    return result.cutByStop ? kInterrupted : kCompleted;
}

// The actions that need no stop flag, or nothing when the action needs one.
std::optional<int> answerAtOnce(const FlashOptions& options, const Output& output) {
    using Action = FlashOptions::Action;
    switch (options.action) {
    case Action::Help:
        std::fputs(flashHelp().c_str(), output.out());
        return kCompleted;
    case Action::Version:
        output.say(std::string("j4_flash ") + kVersion);
        return kCompleted;
    case Action::ListPorts:
        return listPorts(options.portsFile, output);
    default:
        return std::nullopt;
    }
}

} // namespace

int runFlash(const std::vector<std::string>& arguments, const FlashContext& context) {
    const Output output(context.out, context.err);
    if (arguments.size() <= 1) {
        // Nothing asked: how to ask, on standard error, as a usage error.
        std::fprintf(context.err, "%s\n(try --help)\n", flashUsage().c_str());
        return kUsage;
    }
    const auto options = parseFlashOptions(runs::RawArguments(arguments));
    if (!options) {
        output.usageError(options.error());
        return kUsage;
    }
    if (const auto status = answerAtOnce(*options, output))
        return *status;
    const std::atomic<bool>& stop =
        context.stop != nullptr ? *context.stop : installInterruptHandlers();
    switch (options->action) {
    case FlashOptions::Action::Watch:
        return watch(*options, context, stop, output);
    case FlashOptions::Action::Check:
        return check(*options, stop, output);
    case FlashOptions::Action::SendRecords:
        return sendRecords(*options, stop, output);
    default:
        return update(*options, context, stop, output);
    }
}

} // namespace j4::cli
