#include "flash_command.h"

#include "device_runs.h"
#include "exit_status.h"
#include "flash_options.h"
#include "flash_report.h"
#include "interrupts.h"
#include "j4_version.h"
#include "json_events.h"
#include "link_factory.h"
#include "progress.h"
#include "record_keeping.h"
#include "release_check.h"
#include "run_pieces.h"
#include "send_log.h"
#include "slots.h"
#include "station.h"
#include "station_command.h"
#include "station_metrics.h"

#include <cerrno>
#include <cstring>

namespace j4::cli {
namespace {

using namespace runs;
using namespace release;
using namespace records;
using namespace station;
using namespace options;

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

int check(const FlashOptions& options, const std::atomic<bool>& stop, const Output& output) {
    nlohmann::json event{{"file", options.file}};
    const auto done = [&](int status) {
        event["exit_status"] = status;
        if (output.json() != nullptr)
            output.json()->write("check", event);
        return status;
    };
    const PreparedFile prepared = prepare(options, stop, output);
    if (!prepared.ok()) {
        event["text"] = prepared.text;
        return done(exitStatus(prepared.refusal));
    }
    event.update({{"frames", prepared.decoded->frames},
                  {"bytes", prepared.decoded->image.size()},
                  {"file_sha256", prepared.decoded->sha256}});
    if (const auto& signature = prepared.decoded->signature)
        event.update({{"signature_key_id", signature->keyId},
                      {"release_version", signature->version},
                      {"trusted_comment", signature->trustedComment}});
    if (!options.imageOut.empty()) {
        if (const int status = writeImage(prepared.decoded->image, options.imageOut, output);
            status != kCompleted)
            return done(status);
    }
    std::fprintf(output.out(), "%s: %zu frames, %zu bytes\n", options.file.c_str(),
                 prepared.decoded->frames, prepared.decoded->image.size());
    if (const auto& signature = prepared.decoded->signature) {
        const auto orDash = [](const std::string& text) { return text.empty() ? "-" : text; };
        output.say("signed by key " + signature->keyId + ", version " + orDash(signature->version) +
                   ", expires " + orDash(signature->expires) + ", timestamp " +
                   orDash(signature->timestamp));
    }
    return done(kCompleted);
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
    void finished(std::size_t device, const UpdateReport& report) override {
        board_.finished(device, report);
    }
    void notice(const std::string& text) override { output_.error(text); }

private:
    ProgressBoard& board_;
    const Output& output_;
};

int sendRecords(const FlashOptions& options, const std::atomic<bool>& stop, const Output& output) {
    const auto sent = sendLog(options.sendLog, options.line.recordsUrl, stop,
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
                    ? ", " + count(sent->damaged, " damaged line", " damaged lines") + " skipped"
                    : "") +
               (sent->refused ? ", " + count(sent->refused, " record", " records") +
                                    " refused by the database and set aside."
                              : "."));
    return kCompleted;
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
    ProgressBoard board(labels, progressMode(options, context), options.verbose, output.err());
    RunListener lines(board, output);
    std::optional<JsonListener> json;
    if (output.json() != nullptr)
        json.emplace(*output.json(), labels, false, lines,
                     lineOrigin(options.line.station, options.line.operatorName));
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

int runAction(const FlashOptions& options, const FlashContext& context, const Output& output) {
    if (const auto status = answerAtOnce(options, output))
        return *status;
    const std::atomic<bool>& stop =
        context.stop != nullptr ? *context.stop : installInterruptHandlers();
    switch (options.action) {
    case FlashOptions::Action::Watch:
        return watch(options, context, stop, output);
    case FlashOptions::Action::Check:
        return check(options, stop, output);
    case FlashOptions::Action::SendRecords:
        return sendRecords(options, stop, output);
    default:
        return update(options, context, stop, output);
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
    const auto options = parseFlashOptions(options::RawArguments(arguments));
    if (!options) {
        output.usageError(options.error());
        return kUsage;
    }
    // With --json the events, with --log - the log, have standard output:
    // the lines for people go to standard error.
    std::optional<JsonEvents> events;
    if (options->json)
        events.emplace(context.out);
    const bool outTaken = options->json || options->line.logPath == "-";
    const Output lines(outTaken ? context.err : context.out, context.err,
                       events ? &*events : nullptr);
    return runAction(*options, context, lines);
}

} // namespace j4::cli
