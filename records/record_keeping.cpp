#include "record_keeping.h"

#include <QByteArray>

namespace j4::records {

RecordKeeping::RecordKeeping(RecordOptions options, RecordsListener& listener) {
    if (!options.url.empty() && options.logPath.empty())
        options.logPath = defaultRecordsLog();
    log_ = std::make_unique<runs::LogWriter>(options.logPath, std::move(options.station),
                                             std::move(options.operatorName));
    log_->onWaiting([&listener](std::size_t count) { listener.unloggedChanged(count); });
    if (options.url.empty())
        return;
    url_ = options.url;
    sender_ = std::make_unique<RecordSender>(options.logPath, options.url, listener);
    log_->afterAppend([sender = sender_.get()] { sender->wake(); });
}

void RecordKeeping::reportLive(std::size_t slotCount, const std::string& line) {
    if (url_.empty())
        return;
    const runs::LogOrigin& origin = log_->origin();
    LiveState state{origin.station, line, origin.version, origin.host, {}};
    for (std::size_t slot = 1; slot <= slotCount; ++slot)
        state.slotStates.push_back({static_cast<int>(slot), "empty", {}, 0});
    live_ = std::make_unique<LiveReporter>(url_, std::move(state));
}

std::optional<std::string> RecordKeeping::finish(std::chrono::milliseconds bound) {
    if (!sender_)
        return std::nullopt;
    const bool sent = sender_->settle(bound);
    // Stopped here, not at the end of the program: nothing it tells comes
    // after this, and what waits is counted once it has stopped, an attempt
    // logged after its last look included.
    log_->afterAppend({});
    live_.reset();
    sender_.reset();
    if (sent)
        return std::nullopt;
    const std::size_t left = recordsWaiting(log_->path());
    return std::to_string(left) + (left == 1 ? " record waits" : " records wait") + " in " +
           log_->path() +
           "; they are sent at the next start with --records, or with j4_flash --send-records.";
}

std::string recordsFromEnvironment() {
    return qgetenv("J4_RECORDS").toStdString();
}

} // namespace j4::records
