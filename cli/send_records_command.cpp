#include "command.h"

#include "exit_status.h"
#include "send_log.h"

namespace j4::cli {
namespace {

using namespace runs;
using namespace records;

int sendRecords(const FlashOptions& options, const std::atomic<bool>& stop, const Output& output) {
    const auto sent = sendLog(options.sendLog, options.station.recordsUrl, stop,
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

class SendRecordsCommand final : public Command {
public:
    int execute(const CommandRun& run) const override {
        return sendRecords(run.options, run.stop, run.output);
    }
};

} // namespace

std::unique_ptr<Command> sendRecordsCommand() {
    return std::make_unique<SendRecordsCommand>();
}

} // namespace j4::cli
