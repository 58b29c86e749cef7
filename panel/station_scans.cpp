// The station window's Unit field: a scan typed or from a keyboard
// scanner, bound to the slot the operator meant, or refused where they look.

#include "station_window.h"
#include "ui_station_window.h"

#include <QApplication>
#include <QKeyEvent>

namespace j4 {

void StationWindow::scanUnit() {
    const QString scanned = ui_->unitEntry->text();
    ui_->unitEntry->clear();
    // The row the operator picked, when its device waits for a unit: the
    // scan is for that one.
    std::optional<int> slot;
    if (const int row = ui_->slotTable->currentRow();
        row >= 0 && (rows_.state(row) == SlotRows::State::WaitingForUnit ||
                     rows_.state(row) == SlotRows::State::ScanRefused))
        slot = row + 1;
    const auto heard = line_.units->scan(scanned.toStdString(), slot);
    appendLog(QString::fromStdString(heard ? heard->text : heard.error()));
    if (!heard) {
        showScanRefused(QString::fromStdString(heard.error()), slot);
        return;
    }
    ui_->unitEntry->setPalette(QPalette());
    ui_->unitEntry->setToolTip({});
    ui_->unitEntry->setPlaceholderText(unitHint_);
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row)
        if (rows_.state(row) == SlotRows::State::ScanRefused)
            rows_.setState(row, SlotRows::State::WaitingForUnit);
}

// Impossible to miss from across a bench: the field and the rows that wait
// turn red with the reason, and the window beeps.
void StationWindow::showScanRefused(const QString& reason, std::optional<int> slot) {
    QApplication::beep();
    const auto [background, text] = SlotRows::colours(SlotRows::State::ScanRefused);
    QPalette red = ui_->unitEntry->palette();
    red.setColor(QPalette::Base, background);
    red.setColor(QPalette::Text, text);
    red.setColor(QPalette::PlaceholderText, text);
    ui_->unitEntry->setPalette(red);
    ui_->unitEntry->setToolTip(reason);
    ui_->unitEntry->setPlaceholderText(QStringLiteral("scan refused: ") + reason);
    for (int row = 0; row < static_cast<int>(stationSlots_.size()); ++row) {
        const bool waits = rows_.state(row) == SlotRows::State::WaitingForUnit ||
                           rows_.state(row) == SlotRows::State::ScanRefused;
        if (waits && (!slot || *slot == row + 1))
            rows_.setState(row, SlotRows::State::ScanRefused,
                           QStringLiteral("scan refused: ") + reason);
    }
}

bool StationWindow::eventFilter(QObject* watched, QEvent* event) {
    // A mnemonic whose button is disabled (Alt+W while watching) would
    // type its letter into the Unit field, and the next scan would be
    // refused: a key with Alt or Ctrl is never a scanned character.
    if (watched == ui_->unitEntry && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier) &&
            !key->text().isEmpty() && key->text().at(0).isPrint())
            return true;
    }
    return WorkWindow::eventFilter(watched, event);
}

} // namespace j4
