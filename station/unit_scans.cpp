#include "unit_scans.h"

namespace j4::station {
namespace {

// "slot 3", or "slot 3 J4-0001": a slot's label, with its unit or before it.
const QRegularExpression& slotLabel() {
    static const QRegularExpression label(QStringLiteral("^slot\\s+([0-9]{1,4})(?:\\s+(.+))?$"),
                                          QRegularExpression::CaseInsensitiveOption);
    return label;
}

std::string slotList(const std::set<int>& numbers) {
    std::string list;
    int left = static_cast<int>(numbers.size());
    for (const int slot : numbers)
        list += std::to_string(slot) + (--left == 0 ? "" : left == 1 ? " and " : ", ");
    return list;
}

} // namespace

Result<UnitScans> UnitScans::withRule(const std::string& rule) {
    QRegularExpression expression(QString::fromStdString(rule));
    if (!expression.isValid())
        return fail("the unit rule " + rule + " is not a regular expression (" +
                    expression.errorString().toStdString() + ")");
    return UnitScans(std::move(expression));
}

void UnitScans::setSlotCount(int count) {
    const std::lock_guard lock(mutex_);
    slotCount_ = count;
}

Result<ScanHeard> UnitScans::scan(std::string line, std::optional<int> slot) {
    // Refused whole: a piece of a scan, or a scan cut at a NUL, would be
    // another unit's serial.
    if (line.find('\0') != std::string::npos)
        return fail(std::string("The scan holds a NUL byte: scan the unit's label again."));
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    line.erase(0, line.find_first_not_of(' '));
    if (line.size() > kLongestScan)
        return fail("A scan of " + std::to_string(line.size()) + " bytes is longer than a unit's " +
                    "label (at most " + std::to_string(kLongestScan) +
                    "): scan the unit's label again.");
    if (line.empty())
        return fail("An empty scan: scan the unit's label again.");
    const auto label = slotLabel().match(QString::fromStdString(line));
    if (label.hasMatch()) {
        const int named = label.captured(1).toInt();
        {
            const std::lock_guard lock(mutex_);
            if (named < 1 || named > slotCount_)
                return fail("There is no slot " + std::to_string(named) +
                            " at this station: scan a slot's label again.");
            if (!label.hasCaptured(2)) {
                chosen_ = named;
                return ScanHeard{"Slot " + std::to_string(named) +
                                     " chosen: scan its unit's label.",
                                 {},
                                 named,
                                 {}};
            }
        }
        line = label.captured(2).trimmed().toStdString();
        slot = named;
    }
    if (!rule_.pattern().isEmpty() && !rule_.match(QString::fromStdString(line)).hasMatch())
        return fail("\"" + line + "\" is not a unit serial (" + rule_.pattern().toStdString() +
                    "): scan the unit's label again.");
    return give(line, slot);
}

Result<ScanHeard> UnitScans::give(const std::string& unit, std::optional<int> slot) {
    ScanHeard heard;
    {
        const std::lock_guard lock(mutex_);
        if (!slot && chosen_)
            slot = std::exchange(chosen_, std::nullopt);
        if (!slot && waiting_.size() == 1)
            slot = *waiting_.begin();
        if (!slot && waiting_.size() > 1)
            return fail("Devices in slots " + slotList(waiting_) +
                        " wait for their unit: scan "
                        "the slot's label (\"slot N\") before the unit's, so that " +
                        unit + " goes to the right one.");
        if (slot) {
            heard = forSlot(*slot, unit);
        } else {
            std::string replaced = std::exchange(next_, unit);
            if (replaced == unit)
                replaced.clear();
            heard = {!replaced.empty()
                         ? "Unit " + unit + " replaces " + replaced + ", which no device took."
                         : "Unit " + unit + " goes to the next device plugged in.",
                     unit, std::nullopt, replaced};
        }
    }
    scanned_.notify_all();
    return heard;
}

ScanHeard UnitScans::forSlot(int slot, const std::string& unit) {
    std::string replaced = std::exchange(slots_[slot], unit);
    if (replaced == unit)
        replaced.clear();
    const std::string to = "slot " + std::to_string(slot);
    return {!replaced.empty() ? "Unit " + unit + " replaces " + replaced + " for " + to + "."
                              : "Unit " + unit + " goes to " + to + ".",
            unit, slot, replaced};
}

std::string UnitScans::take(int slot) {
    const std::lock_guard lock(mutex_);
    if (const auto at = slots_.find(slot); at != slots_.end()) {
        std::string unit = std::move(at->second);
        slots_.erase(at);
        return unit;
    }
    return std::exchange(next_, {});
}

void UnitScans::putBack(int slot, std::string unit) {
    {
        const std::lock_guard lock(mutex_);
        slots_.try_emplace(slot, std::move(unit));
    }
    scanned_.notify_all();
}

void UnitScans::setWaiting(int slot, bool waiting) {
    const std::lock_guard lock(mutex_);
    if (waiting)
        waiting_.insert(slot);
    else
        waiting_.erase(slot);
}

bool UnitScans::waitForScan(int slot, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return scanned_.wait_for(lock, bound,
                             [this, slot] { return slots_.count(slot) != 0 || !next_.empty(); });
}

} // namespace j4::station
