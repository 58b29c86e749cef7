// What the station window shows of its slots' attempts: progress, results
// and their next step, the shift's totals, the adapter in each slot.

#include "station_window.h"
#include "ui_station_window.h"

#include "port_names.h"
#include "slots.h"

namespace j4 {

void StationWindow::showSilentDevices() {
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row) {
        if (!stationSlots_[row].updating)
            continue;
        const auto waited = job_.awaitingAnswerFor(static_cast<std::size_t>(row));
        if (waited >= std::chrono::seconds(1))
            rows_.setState(
                row, SlotRows::State::Silent,
                QStringLiteral("waiting for the device (%1 s)")
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
        else if (rows_.state(row) == SlotRows::State::Silent)
            rows_.setState(row, SlotRows::State::Updating);
    }
}

void StationWindow::onStarted(int slot) {
    describeSlot(slot); // the device just plugged in, before its row is busy
    stationSlots_[slot].updating = true;
    rows_.setState(slot, SlotRows::State::Updating);
    rows_.setProgress(slot, 0);
}

void StationWindow::onProgress(int slot, int percent) {
    if (stationSlots_[slot].updating)
        rows_.setProgress(slot, percent);
}

void StationWindow::onFinished(int slot, const runs::AttemptReport& report) {
    stationSlots_[slot].updating = false;
    rows_.setProgress(slot, -1);
    // The next step first, then why: the reason wraps in the row, the
    // detail is its tool tip.
    rows_.setState(slot, report.completed() ? SlotRows::State::Completed : SlotRows::State::Failed,
                   report.completed() ? QString()
                                      : QStringLiteral("failed: pull and retry. ") +
                                            QString::fromStdString(report.text));
    stationSlots_[slot].lastResult =
        report.completed() ? QStringLiteral("completed")
                           : QStringLiteral("failed: ") + QString::fromStdString(report.text);
    countForTotals(report);
    rows_.setDetail(slot, QString::fromStdString(report.detail));
    rows_.setUnit(slot, QString::fromStdString(report.unit));
    showAdapter(slot, report.device, report.portDescription, report.adapterSerial);
    appendLog(fromBytes(station::attemptLine(report)));
}

// The shift's totals in the status line: attempts completed and failed,
// and the first-pass yield, the share of units whose first attempt
// completed (an attempt without a unit is a unit of its own). A stop's
// cut attempt counts in none.
void StationWindow::countForTotals(const runs::AttemptReport& report) {
    if (report.outcome == UpdateOutcome::Interrupted)
        return;
    ++(report.completed() ? totals_.completed : totals_.failed);
    const std::string unit = report.unit.empty() ? "attempt " + report.attempt : report.unit;
    if (totals_.seen.insert(unit).second) {
        ++totals_.units;
        totals_.firstPass += report.completed() ? 1 : 0;
    }
    ui_->totalsLine->setText(
        QStringLiteral("Completed %1, failed %2, first-pass yield %3 %")
            .arg(totals_.completed)
            .arg(totals_.failed)
            .arg(totals_.units == 0 ? 0 : qRound(100.0 * totals_.firstPass / totals_.units)));
}

// The station's own counts: the window keeps none of its own.
void StationWindow::onTallied(int slot, const runs::SlotTally& tally) {
    stationSlots_[slot].tally = tally;
    rows_.setCounts(slot, tally);
}

void StationWindow::describeSlots() {
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row)
        describeSlot(row);
}

void StationWindow::describeSlot(int row) {
    // A row being updated keeps the device its update started with.
    if (stationSlots_[row].updating)
        return;
    if (const auto request = station::deviceInSlot(stationSlots_[row].name, file_))
        showAdapter(row, request->device, request->portDescription, request->adapterSerial);
    else
        showAdapter(row, {}, {}, {});
}

} // namespace j4
