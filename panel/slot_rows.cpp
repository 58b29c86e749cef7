#include "slot_rows.h"

#include <QHeaderView>
#include <QProgressBar>

namespace j4 {

namespace {

QString stateText(SlotRows::State state) {
    switch (state) {
    case SlotRows::State::NotWatching:
        return QStringLiteral("not watching");
    case SlotRows::State::Waiting:
        return QStringLiteral("plug in a device");
    case SlotRows::State::WaitingForUnit:
        return QStringLiteral("scan the unit's label");
    case SlotRows::State::ScanRefused:
        return QStringLiteral("scan refused: scan the unit's label again");
    case SlotRows::State::Updating:
        return QStringLiteral("updating");
    case SlotRows::State::Silent:
        return QStringLiteral("waiting for the device");
    case SlotRows::State::Completed:
        return QStringLiteral("completed: pull the device");
    case SlotRows::State::Failed:
        return QStringLiteral("failed: pull and retry");
    }
    return {};
}

constexpr int kStateRole = Qt::UserRole;

} // namespace

SlotRows::SlotRows(QTableWidget* table) : table_(table) {
    QHeaderView* header = table_->horizontalHeader();
    // The state, the operator's next step, takes what the others leave.
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(StateColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(ProgressColumn, QHeaderView::Fixed);
    table_->setColumnWidth(ProgressColumn,
                           table_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 14);
    // A failure's reason wraps onto a second line rather than being cut;
    // other rows stay one line high, tight enough for 16 in view.
    table_->setWordWrap(true);
    table_->setTextElideMode(Qt::ElideNone);
    table_->verticalHeader()->setMinimumSectionSize(table_->fontMetrics().height() + 2);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
}

std::pair<QColor, QColor> SlotRows::colours(State state) {
    // Each text colour is at least 4.5:1 against its background.
    switch (state) {
    case State::Completed:
        return {QColor(0x1B, 0x5E, 0x20), Qt::white}; // 7.9:1
    case State::Failed:
    case State::ScanRefused:
        return {QColor(0xB7, 0x1C, 0x1C), Qt::white}; // 6.6:1
    case State::Silent:
    case State::WaitingForUnit:
        return {QColor(0xFF, 0xB3, 0x00), Qt::black}; // 11:1
    default:
        return {};
    }
}

void SlotRows::add(const QString& label, const QString& name) {
    const int row = table_->rowCount();
    table_->insertRow(row);
    setCell(row, SlotColumn, label);
    table_->item(row, SlotColumn)->setToolTip(name);
    setCell(row, UnitColumn, QStringLiteral("-"));
    setCounts(row, {});
    setState(row, State::NotWatching);
}

void SlotRows::remove(int row) {
    table_->removeRow(row);
}

void SlotRows::setState(int row, State state, const QString& text) {
    setCell(row, StateColumn, text.isEmpty() ? stateText(state) : text);
    QTableWidgetItem* item = table_->item(row, StateColumn);
    item->setData(kStateRole, static_cast<int>(state));
    const auto [background, foreground] = colours(state);
    item->setData(Qt::BackgroundRole, background.isValid() ? QVariant(background) : QVariant());
    item->setData(Qt::ForegroundRole, foreground.isValid() ? QVariant(foreground) : QVariant());
    QFont font = item->font();
    font.setBold(background.isValid());
    item->setFont(font);
}

SlotRows::State SlotRows::state(int row) const {
    const QTableWidgetItem* item = table_->item(row, StateColumn);
    return item != nullptr ? static_cast<State>(item->data(kStateRole).toInt())
                           : State::NotWatching;
}

void SlotRows::setProgress(int row, int percent) {
    // A bar only while a transfer runs: the table shows every cell's widget.
    auto* bar = qobject_cast<QProgressBar*>(table_->cellWidget(row, ProgressColumn));
    if (percent < 0) {
        if (bar != nullptr)
            table_->removeCellWidget(row, ProgressColumn);
        return;
    }
    if (bar == nullptr) {
        bar = new QProgressBar; // owned by the table
        bar->setRange(0, 100);
        bar->setAccessibleName(QStringLiteral("Progress of slot %1").arg(row + 1));
        table_->setCellWidget(row, ProgressColumn, bar);
    }
    bar->setValue(percent);
}

void SlotRows::setAdapter(int row, const QString& adapter, const QString& serial) {
    setCell(row, AdapterColumn, adapter);
    setCell(row, SerialColumn, serial.isEmpty() ? QStringLiteral("-") : serial);
}

void SlotRows::setLabel(int row, const QString& label) {
    setCell(row, SlotColumn, label);
}

void SlotRows::setUnit(int row, const QString& unit) {
    setCell(row, UnitColumn, unit.isEmpty() ? QStringLiteral("-") : unit);
}

void SlotRows::setCounts(int row, const runs::SlotTally& tally) {
    setCell(row, CompletedColumn, QString::number(tally.completed));
    setCell(row, FailedColumn, QString::number(tally.failed));
}

void SlotRows::setDetail(int row, const QString& detail) {
    if (QTableWidgetItem* item = table_->item(row, StateColumn))
        item->setToolTip(detail);
}

void SlotRows::setCell(int row, Column column, const QString& text) {
    QTableWidgetItem* item = table_->item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem; // owned by the table
        table_->setItem(row, column, item);
    }
    item->setText(text);
}

} // namespace j4
