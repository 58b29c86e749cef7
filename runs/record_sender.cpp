#include "record_sender.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <vector>

namespace j4::runs {

namespace {

// Records per statement: a week's backlog goes in a few hundred round trips.
constexpr std::size_t kBatch = 200;

std::string positionFile(const std::string& log) {
    return log + ".sent";
}

std::string count(std::size_t records) {
    return std::to_string(records) + (records == 1 ? " record" : " records");
}

} // namespace

struct RecordSender::Batch {
    std::vector<Record> records;
    std::uint64_t end = 0;     // the position after the batch
    std::uint64_t endLine = 0; // lines before `end`
    std::size_t unsent = 0;    // complete lines after `position_`
};

RecordSender::RecordSender(std::string logPath, std::string url, RecordsListener& listener,
                           Timing timing)
    : logPath_(std::move(logPath)), url_(std::move(url)), listener_(listener), timing_(timing) {
    QFile stored(QString::fromStdString(positionFile(logPath_)));
    if (stored.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> words = stored.readAll().simplified().split(' ');
        if (words.size() == 2) {
            position_ = words[0].toULongLong();
            line_ = words[1].toULongLong();
        }
    }
    thread_ = std::thread([this] { loop(); });
}

RecordSender::~RecordSender() {
    stop_ = true;
    wake();
    thread_.join();
}

void RecordSender::wake() {
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
        settled_ = false;
    }
    changed_.notify_all();
}

bool RecordSender::settle(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, bound, [this] { return settled_ || failing_; });
    return settled_;
}

void RecordSender::setUnsent(std::size_t count) {
    if (unsent_.exchange(count) != count)
        listener_.unsentChanged(count);
    changed_.notify_all();
}

void RecordSender::pause(std::chrono::milliseconds length) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, length, [this] { return stop_ || woken_; });
}

void RecordSender::loop() {
    auto retry = timing_.firstRetry;
    while (!stop_) {
        {
            const std::lock_guard lock(mutex_);
            woken_ = false;
        }
        Batch batch = readBatch();
        setUnsent(batch.unsent);
        if (batch.end == position_) {
            // Nothing new: look again when woken, or now and then for lines
            // another program appended to the same log.
            {
                const std::lock_guard lock(mutex_);
                settled_ = !woken_;
            }
            changed_.notify_all();
            pause(std::chrono::seconds(1));
            continue;
        }
        if (send(batch)) {
            retry = timing_.firstRetry;
            continue;
        }
        // Back off, without giving up: new lines are seen at the next try.
        const auto until = std::chrono::steady_clock::now() + retry;
        while (!stop_ && std::chrono::steady_clock::now() < until) {
            std::unique_lock lock(mutex_);
            changed_.wait_until(lock, until, [this] { return stop_.load(); });
        }
        retry = std::min(retry * 2, timing_.longestRetry);
    }
}

RecordSender::Batch RecordSender::readBatch() {
    Batch batch{{}, position_, line_, 0};
    QFile log(QString::fromStdString(logPath_));
    if (!log.open(QIODevice::ReadOnly))
        return batch;
    if (static_cast<std::uint64_t>(log.size()) < position_) {
        // A new log in the old one's place: all of it is new.
        position_ = line_ = 0;
        batch.end = batch.endLine = 0;
    }
    log.seek(static_cast<qint64>(position_));
    const QByteArray rest = log.readAll();
    batch.unsent = static_cast<std::size_t>(rest.count('\n'));
    qsizetype start = 0;
    for (qsizetype end; batch.records.size() < kBatch && (end = rest.indexOf('\n', start)) >= 0;
         start = end + 1) {
        ++batch.endLine;
        const QByteArray line = rest.mid(start, end - start);
        if (line.trimmed().isEmpty())
            continue;
        auto record = readRecord(std::string_view(line.constData(), size_t(line.size())));
        if (record) {
            batch.records.push_back(std::move(*record));
            continue;
        }
        // Said once: a batch that fails is read again at the next try.
        if (batch.endLine > damagedSaid_) {
            damagedSaid_ = batch.endLine;
            listener_.said(logPath_ + ":" + std::to_string(batch.endLine) + " is not a record (" +
                           record.error() + "); it is not sent.");
        }
    }
    batch.end = position_ + static_cast<std::uint64_t>(start);
    return batch;
}

bool RecordSender::send(Batch& batch) {
    if (!batch.records.empty() && !database_) {
        auto opened = RecordDatabase::open(url_, &stop_, timing_.database);
        if (!opened) {
            failed(opened.error());
            return false;
        }
        database_ = std::move(*opened);
    }
    if (const auto inserted =
            batch.records.empty() ? Result<std::size_t>(0) : database_->insert(batch.records);
        !inserted) {
        database_.reset();
        failed(inserted.error());
        return false;
    }
    position_ = batch.end;
    line_ = batch.endLine;
    storePosition();
    failing_ = false;
    if (waiting_) {
        sentSinceWaiting_ += batch.records.size();
        if (batch.unsent <= batch.records.size()) {
            listener_.said("The database answers again: the " + count(sentSinceWaiting_) +
                           " that waited are in it now.");
            waiting_ = false;
        }
    }
    return true;
}

void RecordSender::failed(const std::string& why) {
    if (stop_)
        return;
    failing_ = true;
    changed_.notify_all();
    if (waiting_)
        return;
    waiting_ = true;
    sentSinceWaiting_ = 0;
    listener_.said(count(unsent_) + " cannot reach the database (" + why + "); they wait in " +
                   logPath_ + " and are sent when it answers.");
}

void RecordSender::storePosition() {
    // Written whole, synced and renamed over the old one: after a crash it
    // says a position that was reached, never a torn one.
    QSaveFile file(QString::fromStdString(positionFile(logPath_)));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray::number(quint64(position_)) + ' ' +
                   QByteArray::number(quint64(line_)) + '\n');
        file.commit();
    }
}

std::string defaultRecordsLog() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + "/.local/state";
    const QString folder = state + "/j4-updater";
    QDir().mkpath(folder);
    return QFile::encodeName(folder + "/attempts.jsonl").toStdString();
}

} // namespace j4::runs
