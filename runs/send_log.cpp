#include "send_log.h"

#include "record_database.h"

#include <QFile>

#include <vector>

namespace j4::runs {

Result<SentLog> sendLog(const std::string& log, const std::string& url,
                        const std::atomic<bool>& stop,
                        const std::function<void(const std::string&)>& damaged) {
    QFile file(QFile::decodeName(QByteArray::fromStdString(log)));
    if (!file.open(QIODevice::ReadOnly))
        return fail("Cannot read " + log + ": " + file.errorString().toStdString());
    auto database = RecordDatabase::open(url, &stop);
    if (!database)
        return fail("The records database cannot be reached: " + database.error());
    SentLog sent;
    std::vector<Record> batch;
    const auto flush = [&]() -> Result<Done> {
        const auto added = (*database)->insert(batch);
        if (!added)
            return fail("The records database did not take the records: " + added.error());
        sent.added += *added;
        sent.present += batch.size() - *added;
        batch.clear();
        return Done{};
    };
    for (std::size_t number = 1; !file.atEnd(); ++number) {
        const QByteArray line = file.readLine();
        if (line.trimmed().isEmpty())
            continue;
        auto record = readRecord(std::string_view(line.constData(), size_t(line.size())));
        if (!record) {
            ++sent.damaged;
            damaged(log + ":" + std::to_string(number) + ": not a record (" + record.error() +
                    "); skipped");
            continue;
        }
        batch.push_back(std::move(*record));
        if (batch.size() == 200)
            if (auto flushed = flush(); !flushed)
                return fail(flushed.error());
    }
    if (file.error() != QFile::NoError)
        return fail("Cannot read " + log + ": " + file.errorString().toStdString());
    if (auto flushed = flush(); !flushed)
        return fail(flushed.error());
    return sent;
}

} // namespace j4::runs
