#include "record_sender.h"

#include "log_identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace j4::records {

namespace {

// Records per statement: a week's backlog goes in a few hundred round trips.
constexpr std::size_t kBatch = 200;

std::string positionFile(const std::string& log) {
    return log + ".sent";
}

std::string count(std::size_t records) {
    return std::to_string(records) + (records == 1 ? " record" : " records");
}

std::string setAsideText(const std::string& log, const LogLine& line, const std::string& why) {
    return "The database refuses the record of attempt " + line.record.attempt + " (" + log + ":" +
           std::to_string(line.number) + "): " + why +
           ". It is set aside in the log; the records behind it go on.";
}

} // namespace

namespace {

QString nameOf(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

LogPosition storedPosition(const std::string& log) {
    QFile stored(nameOf(positionFile(log)));
    return stored.open(QIODevice::ReadOnly) ? LogPosition::fromText(stored.readAll())
                                            : LogPosition{};
}

} // namespace

RecordSender::RecordSender(std::string logPath, std::string url, RecordsListener& listener,
                           Timing timing)
    : logPath_(std::move(logPath)), url_(std::move(url)), listener_(listener), timing_(timing),
      position_(storedPosition(logPath_)) {
    thread_ = WorkerThread([this] { loop(); });
}

RecordSender::~RecordSender() {
    stop_ = true;
    wake();
    thread_.wait();
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
        if (!follow()) {
            pause(std::chrono::seconds(1));
            continue;
        }
        countWaiting();
        const LogBatch batch = readBatch();
        if (batch.end.offset == position_.offset) {
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

bool RecordSender::follow() {
    if (log_) {
        // Rotated (moved away, a new log in its place): the old file is read
        // to its end first, then the new one from its start. Cut short in
        // place (logrotate's copytruncate) it is the same file, but the
        // position no longer falls where it did: read anew from its start.
        QFile now(nameOf(logPath_));
        if (!now.open(QIODevice::ReadOnly))
            return true;
        const bool sameFile = identityOf(now) == FileIdentity{position_.device, position_.inode};
        if (sameFile ? position_.describes(*log_)
                     : position_.offset < static_cast<std::uint64_t>(log_->size()))
            return true;
        log_.reset();
    }
    auto log = std::make_unique<QFile>(nameOf(logPath_));
    if (!log->open(QIODevice::ReadOnly))
        return false;
    if (!position_.describes(*log)) {
        if (position_.offset > 0)
            listener_.said(
                logPath_ + " is not the file its sent position (" + positionFile(logPath_) +
                ") was kept for: rotated, cut short or written anew, it is sent from its "
                "start; "
                "records already in the database are not doubled.");
        position_ = LogPosition::startOf(*log);
        storePosition();
    }
    log_ = std::move(log);
    counted_ = position_.offset;
    waitingLines_ = 0;
    return true;
}

void RecordSender::countWaiting() {
    // Only what was appended since the last look is read, so a backlog of
    // any size costs one pass, not one per batch.
    const LineCount more = linesAfter(*log_, counted_);
    waitingLines_ += more.lines;
    counted_ = more.end;
    setUnsent(static_cast<std::size_t>(waitingLines_));
}

LogBatch RecordSender::readBatch() {
    return readLogBatch(*log_, position_, kBatch,
                        [this](std::uint64_t line, const std::string& why) {
                            // Said once: a batch that fails is read again at the next try.
                            if (line > damagedSaid_) {
                                damagedSaid_ = line;
                                listener_.said(logPath_ + ":" + std::to_string(line) +
                                               " is not a record (" + why + "); it is not sent.");
                            }
                        });
}

bool RecordSender::send(const LogBatch& batch) {
    if (!batch.records.empty() && !database_) {
        auto opened = RecordDatabase::open(url_, &stop_, timing_.database);
        if (!opened) {
            failed(opened.error());
            return false;
        }
        database_ = std::move(*opened);
    }
    const auto inserted =
        batch.records.empty()
            ? Result<std::size_t>(std::size_t{0})
            : insertSettingAside(*database_, batch.records,
                                 [this](const LogLine& line, const std::string& why) {
                                     listener_.said(setAsideText(logPath_, line, why));
                                     listener_.refusedChanged(++refused_);
                                 });
    if (!inserted) {
        database_.reset();
        failed(inserted.error());
        return false;
    }
    // Lines appended after the last count may have come with the batch.
    if (batch.end.offset >= counted_) {
        counted_ = batch.end.offset;
        waitingLines_ = 0;
    } else {
        waitingLines_ -= batch.end.line - position_.line;
    }
    position_ = batch.end;
    storePosition();
    setUnsent(static_cast<std::size_t>(waitingLines_));
    failing_ = false;
    if (waiting_) {
        sentSinceWaiting_ += batch.records.size();
        if (waitingLines_ == 0) {
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
    // No count here: the sentence stays in view while more records pile up;
    // the count of those waiting is kept current on its own.
    listener_.said("Records cannot reach the database (" + why + "); they wait in " + logPath_ +
                   " and are sent when it answers.");
}

void RecordSender::storePosition() {
    // Written whole, synced and renamed over the old one: after a crash it
    // says a position that was reached, never a torn one.
    QSaveFile file(nameOf(positionFile(logPath_)));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(position_.text());
        file.commit();
    }
}

std::size_t recordsWaiting(const std::string& logPath) {
    QFile log(nameOf(logPath));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    const LogPosition position = storedPosition(logPath);
    return static_cast<std::size_t>(
        linesAfter(log, position.describes(log) ? position.offset : 0).lines);
}

std::string defaultRecordsLog() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + "/.local/state";
    const QString folder = state + "/j4-updater";
    QDir().mkpath(folder);
    return QFile::encodeName(folder + "/attempts.jsonl").toStdString();
}

} // namespace j4::records
