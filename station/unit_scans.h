#pragma once
// The unit's own serial number, scanned from its label (a barcode scanner
// types it and ends with Enter) and given to a device: the device cannot say
// who it is, the label can. A scan goes to the next device plugged in, or to
// the one device that waits for it; when several wait, the operator names
// the slot (its label "slot N" scanned first, or "slot N SERIAL"), and a
// scan is never guessed onto one of them.

#include "result.h"

#include <QRegularExpression>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace j4::station {

// What a scan did: the sentence the operator hears, and its parts for
// programs (--json).
struct ScanHeard {
    std::string text;
    std::string unit;        // empty when a slot's label chose the slot
    std::optional<int> slot; // the slot it went to, or was chosen; none: the next device
    std::string replaced;    // a unit scanned before for the same device, given up
};

class UnitScans {
public:
    // The longest scan taken, in bytes: a unit's label is far shorter.
    static constexpr std::size_t kLongestScan = 511;

    // `rule`: what a serial must match (a regular expression); any
    // non-empty line when empty.
    static Result<UnitScans> withRule(const std::string& rule);
    UnitScans(const UnitScans& other) : rule_(other.rule_) {}

    // The station's slots, numbered from 1.
    void setSlotCount(int count);
    // A scanned line, for `slot` when the caller knows it (the window's row):
    // what the operator hears (which slot the unit goes to, or that it waits
    // for the next device), or why it is refused.
    Result<ScanHeard> scan(std::string line, std::optional<int> slot = std::nullopt);
    // The serial for `slot`'s device, taken: the one scanned for that slot,
    // else the one for the next device; empty when none.
    std::string take(int slot);
    // A serial taken for a device that went before its attempt, given back.
    void putBack(int slot, std::string unit);
    // Whether `slot`'s device is waiting for its scan.
    void setWaiting(int slot, bool waiting);
    // Waits up to `bound` for a scan `slot` can take; true when one waits.
    bool waitForScan(int slot, std::chrono::milliseconds bound);

private:
    explicit UnitScans(QRegularExpression rule) : rule_(std::move(rule)) {}
    Result<ScanHeard> give(const std::string& unit, std::optional<int> slot);
    ScanHeard forSlot(int slot, const std::string& unit);

    QRegularExpression rule_;
    std::mutex mutex_;
    std::condition_variable scanned_;
    int slotCount_ = 0;
    std::string next_;                 // for the next device plugged in
    std::map<int, std::string> slots_; // scanned for one slot's device
    std::set<int> waiting_;            // slots whose device waits for its scan
    std::optional<int> chosen_;        // a slot's label scanned, its unit to come
};

} // namespace j4::station
