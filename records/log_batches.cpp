#include "log_batches.h"

#include "log_identity.h"

#include <algorithm>

namespace j4::records {
namespace {

QByteArray bytesBefore(QFile& log, std::uint64_t offset) {
    const qint64 length = std::min<qint64>(LogPosition::kTailBytes, qint64(offset));
    if (!log.seek(qint64(offset) - length))
        return {};
    return log.read(length);
}

} // namespace

QByteArray LogPosition::text() const {
    return QByteArray::number(quint64(offset)) + ' ' + QByteArray::number(quint64(line)) + ' ' +
           QByteArray::number(quint64(device)) + ' ' + QByteArray::number(quint64(inode)) + ' ' +
           (tail.isEmpty() ? QByteArray("-") : tail.toHex()) + '\n';
}

LogPosition LogPosition::fromText(const QByteArray& text) {
    const QList<QByteArray> words = text.simplified().split(' ');
    LogPosition position;
    if (words.size() != 2 && words.size() != 5)
        return position;
    position.offset = words[0].toULongLong();
    position.line = words[1].toULongLong();
    if (words.size() == 5) {
        position.device = words[2].toULongLong();
        position.inode = words[3].toULongLong();
        position.tail = words[4] == "-" ? QByteArray() : QByteArray::fromHex(words[4]);
    }
    return position;
}

bool LogPosition::describes(QFile& log) const {
    if (offset == 0)
        return true;
    if (static_cast<std::uint64_t>(log.size()) < offset)
        return false;
    if (device == 0 && inode == 0) {
        // The older form knew no file: trusted where it falls at a line's end.
        return bytesBefore(log, offset).endsWith('\n');
    }
    const FileIdentity now = identityOf(log);
    return now.device == device && now.inode == inode && bytesBefore(log, offset) == tail;
}

LogPosition LogPosition::startOf(QFile& log) {
    const FileIdentity identity = identityOf(log);
    LogPosition start;
    start.device = identity.device;
    start.inode = identity.inode;
    return start;
}

LogBatch readLogBatch(QFile& log, const LogPosition& from, std::size_t limit,
                      const std::function<void(std::uint64_t, const std::string&)>& damaged) {
    LogBatch batch{{}, from};
    const FileIdentity identity = identityOf(log);
    batch.end.device = identity.device;
    batch.end.inode = identity.inode;
    if (!log.seek(qint64(from.offset)))
        return batch;
    while (batch.records.size() < limit) {
        const QByteArray line = log.readLine();
        if (!line.endsWith('\n'))
            break; // the end, or a line still being written
        batch.end.offset += static_cast<std::uint64_t>(line.size());
        const std::uint64_t number = ++batch.end.line;
        if (line.trimmed().isEmpty())
            continue;
        auto record = readRecord(std::string_view(line.constData(), size_t(line.size() - 1)));
        if (record)
            batch.records.push_back({number, std::move(*record)});
        else
            damaged(number, record.error());
    }
    batch.end.tail =
        batch.end.offset == from.offset ? from.tail : bytesBefore(log, batch.end.offset);
    return batch;
}

LineCount linesAfter(QFile& log, std::uint64_t from) {
    LineCount count{0, from};
    if (!log.seek(qint64(from)))
        return count;
    char chunk[65536];
    for (qint64 n; (n = log.read(chunk, sizeof chunk)) > 0;) {
        count.lines += static_cast<std::uint64_t>(std::count(chunk, chunk + n, '\n'));
        count.end += static_cast<std::uint64_t>(n);
    }
    return count;
}

Result<std::size_t>
insertSettingAside(RecordDatabase& database, std::span<const LogLine> lines,
                   const std::function<void(const LogLine&, const std::string&)>& refused) {
    if (lines.empty())
        return std::size_t{0};
    std::vector<Record> records;
    records.reserve(lines.size());
    for (const LogLine& line : lines)
        records.push_back(line.record);
    const auto inserted = database.insert(records);
    if (inserted)
        return *inserted;
    if (!inserted.error().refused)
        return fail(inserted.error().text);
    if (lines.size() == 1) {
        refused(lines.front(), inserted.error().text);
        return std::size_t{0};
    }
    // Halves until the records the database will not take are found: the
    // others go in with a few more statements, not one each.
    const std::size_t half = lines.size() / 2;
    const auto first = insertSettingAside(database, lines.first(half), refused);
    if (!first)
        return first;
    const auto second = insertSettingAside(database, lines.subspan(half), refused);
    if (!second)
        return second;
    return *first + *second;
}

} // namespace j4::records
