#include "run_relay.h"

#include <QFile>

#include <algorithm>

namespace j4 {

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

RunRelay::RunRelay(std::size_t devices, WorkerJob::Post post, RunCallbacks callbacks, Trace trace,
                   AwaitingAnswers awaiting)
    : lastPercent_(devices, -1), post_(std::move(post)), callbacks_(std::move(callbacks)),
      trace_(trace), awaiting_(std::move(awaiting)) {}

void RunRelay::opening(std::size_t device) {
    tell(callbacks_.opening, static_cast<int>(device));
}

void RunRelay::started(std::size_t device, std::size_t) {
    lastPercent_[device] = -1;
    tell(callbacks_.started, static_cast<int>(device));
}

void RunRelay::sending(std::size_t device, const TransferState& state) {
    if (awaiting_)
        (*awaiting_)[device] = steadyMs();
    // Reported before every frame; only changes are worth a repaint.
    if (const int percent = state.percent(); percent != lastPercent_[device]) {
        lastPercent_[device] = percent;
        tell(callbacks_.progress, static_cast<int>(device), percent);
    }
}

void RunRelay::answered(std::size_t device, const TransferState& state,
                        std::chrono::steady_clock::duration sinceSent) {
    if (awaiting_)
        (*awaiting_)[device] = 0;
    if (trace_.stream == nullptr)
        return;
    // One call per line: the slots' threads share the stream.
    const std::string line = traceLine(state, sinceSent);
    if (trace_.bySlot)
        std::fprintf(trace_.stream, "slot %zu  %s\n", device + 1, line.c_str());
    else
        std::fprintf(trace_.stream, "%s\n", line.c_str());
}

void RunRelay::finished(std::size_t device, const runs::AttemptReport& report) {
    if (awaiting_)
        (*awaiting_)[device] = 0;
    tell(callbacks_.finished, static_cast<int>(device), report);
}

void RunRelay::tallied(std::size_t slot, const runs::SlotTally& tally) {
    tell(callbacks_.tallied, static_cast<int>(slot), tally);
}

void RunRelay::slotChanged(std::size_t slot) {
    tell(callbacks_.slotChanged, static_cast<int>(slot));
}

void RunRelay::deviceSeen(std::size_t slot, const std::string& device) {
    tell(callbacks_.deviceSeen, static_cast<int>(slot),
         QFile::decodeName(QByteArray::fromStdString(device)));
}

void RunRelay::waitingForUnit(std::size_t slot) {
    tell(callbacks_.waitingForUnit, static_cast<int>(slot));
}

void RunRelay::devicePulled(std::size_t slot) {
    tell(callbacks_.devicePulled, static_cast<int>(slot));
}

void RunRelay::unitGiven(std::size_t slot, const std::string& unit) {
    tell(callbacks_.unitGiven, static_cast<int>(slot), QString::fromStdString(unit));
}

AwaitingAnswers noneAwaiting(std::size_t devices) {
    return std::make_shared<std::vector<AwaitingSince>>(devices);
}

std::chrono::milliseconds awaitedFor(const AwaitingAnswers& awaiting, std::size_t index) {
    const std::int64_t since = awaiting ? (*awaiting)[index].load() : 0;
    return std::chrono::milliseconds{since == 0 ? 0
                                                : std::max<std::int64_t>(0, steadyMs() - since)};
}

void RunRelay::notice(const std::string& text) {
    tell(callbacks_.notice, QString::fromStdString(text));
}

} // namespace j4
