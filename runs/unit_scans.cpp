#include "unit_scans.h"

namespace j4::runs {

Result<UnitScans> UnitScans::withRule(const std::string& rule) {
    QRegularExpression expression(QString::fromStdString(rule));
    if (!expression.isValid())
        return fail("the unit rule " + rule + " is not a regular expression (" +
                    expression.errorString().toStdString() + ")");
    return UnitScans(std::move(expression));
}

Result<std::string> UnitScans::scan(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    line.erase(0, line.find_first_not_of(' '));
    if (line.empty())
        return fail("An empty scan: scan the unit's label again.");
    if (!rule_.pattern().isEmpty() && !rule_.match(QString::fromStdString(line)).hasMatch())
        return fail("\"" + line + "\" is not a unit serial (" + rule_.pattern().toStdString() +
                    "): scan the unit's label again.");
    std::string replaced;
    {
        const std::lock_guard lock(mutex_);
        replaced = std::exchange(waiting_, line);
    }
    scanned_.notify_all();
    if (!replaced.empty() && replaced != line)
        return "Unit " + line + " replaces " + replaced + ", which no device took.";
    return "Unit " + line + " goes to the next device plugged in.";
}

std::string UnitScans::take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(waiting_, {});
}

bool UnitScans::waitForScan(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return scanned_.wait_for(lock, bound, [this] { return !waiting_.empty(); });
}

} // namespace j4::runs
