#include "station_lines.h"

#include "slots.h"

#include <QTime>

namespace j4::cli {

std::string clockTime() {
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString();
}

void StationLines::say(const std::string& text) const {
    output_.say(clockTime() + "  " + text);
}

void StationLines::deviceSeen(std::size_t slot, const std::string& device) {
    if (!output_.toJournal())
        say("slot " + std::to_string(slot + 1) + "  " + device + "  plugged in");
}

void StationLines::waitingForUnit(std::size_t slot) {
    if (!output_.toJournal())
        say("slot " + std::to_string(slot + 1) + "  scan the unit's label");
}

void StationLines::started(std::size_t slot, std::size_t totalBytes) {
    quarters_[slot] = 0;
    board_.started(slot, totalBytes);
    if (!output_.toJournal())
        say("slot " + std::to_string(slot + 1) + "  sending " + std::to_string(totalBytes) +
            " bytes");
}

void StationLines::answered(std::size_t slot, const TransferState& state,
                            std::chrono::steady_clock::duration sinceSent) {
    board_.answered(slot, state, sinceSent);
    if (state.totalBytes == 0)
        return;
    const int quarter = static_cast<int>(state.acceptedBytes * 4 / state.totalBytes);
    if (quarter > quarters_[slot] && quarter < 4 && !output_.toJournal()) {
        quarters_[slot] = quarter;
        say("slot " + std::to_string(slot + 1) + "  " + std::to_string(quarter * 25) + "%");
    }
}

void StationLines::finished(std::size_t slot, const runs::AttemptReport& report) {
    output_.say(clockTime() + "  " + station::attemptLine(report),
                report.completed() ? Priority::Info : Priority::Warning);
    board_.finished(slot, report);
}

} // namespace j4::cli
