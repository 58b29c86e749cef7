#include "send_log.h"

#include "log_batches.h"
#include "record_database.h"

#include <QFile>

namespace j4::records {

Result<SentLog> sendLog(const std::string& log, const std::string& url,
                        const std::atomic<bool>& stop,
                        const std::function<void(const std::string&)>& said) {
    QFile file(QFile::decodeName(QByteArray::fromStdString(log)));
    if (!file.open(QIODevice::ReadOnly))
        return fail("Cannot read " + log + ": " + file.errorString().toStdString());
    auto database = RecordDatabase::open(url, &stop);
    if (!database)
        return fail("The records database cannot be reached: " + database.error());
    SentLog sent;
    const auto damaged = [&](std::uint64_t line, const std::string& why) {
        ++sent.damaged;
        said(log + ":" + std::to_string(line) + ": not a record (" + why + "); skipped");
    };
    const auto refused = [&](const LogLine& line, const std::string& why) {
        ++sent.refused;
        said(log + ":" + std::to_string(line.number) + ": the database refuses attempt " +
             line.record.attempt + " (" + why + "); set aside, it stays in the log");
    };
    LogPosition position;
    for (;;) {
        // A batch at a time: a log of any size is sent in the memory of one.
        const LogBatch batch = readLogBatch(file, position, 200, damaged);
        if (batch.end.offset == position.offset)
            break;
        const std::size_t refusedBefore = sent.refused;
        const auto added = insertSettingAside(**database, batch.records, refused);
        if (!added)
            return fail("The records database did not take the records: " + added.error());
        sent.added += *added;
        sent.present += batch.records.size() - *added - (sent.refused - refusedBefore);
        position = batch.end;
    }
    if (file.error() != QFile::NoError)
        return fail("Cannot read " + log + ": " + file.errorString().toStdString());
    return sent;
}

} // namespace j4::records
