#pragma once
// The update log read as the records' senders read it: a batch at a time
// from a position, never more than a batch in memory, and a position that
// knows which file it belongs to, so that a log rotated or rewritten in its
// place is read from its start rather than from an offset into other bytes.

#include "record.h"
#include "record_database.h"

#include <QFile>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace j4::records {

struct LogPosition {
    std::uint64_t offset = 0; // bytes read
    std::uint64_t line = 0;   // lines before `offset`
    // The file it describes: its device and inode, and the bytes just
    // before `offset` (at most kTailBytes).
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    QByteArray tail;

    static constexpr qsizetype kTailBytes = 32;

    // "OFFSET LINE DEVICE INODE TAILHEX"; a line of the older "OFFSET LINE"
    // form is read too.
    QByteArray text() const;
    static LogPosition fromText(const QByteArray& text);
    // Whether this is a position in `log` as it is now.
    bool describes(QFile& log) const;
    // The start of `log`.
    static LogPosition startOf(QFile& log);
};

struct LogLine {
    std::uint64_t number = 0;
    Record record;
};

struct LogBatch {
    std::vector<LogLine> records;
    LogPosition end;
};

// Up to `limit` records from `from`, whole lines only: a line still being
// written is left for the next read. A line that is not a record is told to
// `damaged` (its number, why) and passed over.
LogBatch readLogBatch(QFile& log, const LogPosition& from, std::size_t limit,
                      const std::function<void(std::uint64_t, const std::string&)>& damaged);

// The lines after `from` up to the end of the log as it is now, and where
// that end is: what waits, counted once however large it grows.
struct LineCount {
    std::uint64_t lines = 0;
    std::uint64_t end = 0;
};
LineCount linesAfter(QFile& log, std::uint64_t from);

// Inserts the batch's records; a record the database refuses on its own
// merits is told to `refused` and set aside, so that it never holds back
// the records behind it. How many were new, or why the database could not
// be asked.
Result<std::size_t>
insertSettingAside(RecordDatabase& database, std::span<const LogLine> lines,
                   const std::function<void(const LogLine&, const std::string&)>& refused);

} // namespace j4::records
