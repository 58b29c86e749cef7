#pragma once
// The station's table, a row per slot: what is plugged in, the unit, the
// state as the operator's next step ("plug in a device", "scan the unit's
// label", "pull the device") in a colour readable from across a bench
// (completed green, failed or a scan refused red, a device waiting for its
// scan or not answering amber), a progress bar, the counts. The
// colours are the window's own, each with its text colour, so they read the
// same on a light or a dark desktop.

#include "attempt.h"

#include <QColor>
#include <QString>
#include <QTableWidget>

namespace j4 {

class SlotRows {
public:
    enum Column {
        SlotColumn,
        AdapterColumn,
        SerialColumn,
        UnitColumn,
        StateColumn,
        ProgressColumn,
        CompletedColumn,
        FailedColumn
    };
    enum class State {
        NotWatching,
        Waiting,
        WaitingForUnit,
        ScanRefused,
        Updating,
        Silent,
        Completed,
        Failed
    };

    explicit SlotRows(QTableWidget* table);

    // `label`: short, in the table; `name`: the slot in full, its tool tip.
    void add(const QString& label, const QString& name);
    void remove(int row);
    // The state's text (the state's own when empty) and its colours.
    void setState(int row, State state, const QString& text = {});
    State state(int row) const;
    // -1: no transfer, the bar hidden.
    void setProgress(int row, int percent);
    void setAdapter(int row, const QString& adapter, const QString& serial);
    void setUnit(int row, const QString& unit);
    void setLabel(int row, const QString& label);
    void setCounts(int row, const runs::SlotTally& tally);
    void setDetail(int row, const QString& detail);

    // The background and text of a state ({} for the table's own).
    static std::pair<QColor, QColor> colours(State state);

private:
    void setCell(int row, Column column, const QString& text);

    QTableWidget* table_;
};

} // namespace j4
