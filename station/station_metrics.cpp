#include "station_metrics.h"

#include "attempt_report.h"
#include "j4_version.h"

#include <QSaveFile>
#include <QString>

#include <cstdio>

namespace j4::station {

namespace {

constexpr auto kHeartbeat = std::chrono::seconds(30);

std::string unixSeconds(std::chrono::system_clock::time_point when) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f",
                  std::chrono::duration<double>(when.time_since_epoch()).count());
    return seconds;
}

} // namespace

StationMetrics::StationMetrics(std::string path, std::string station, std::size_t slotCount)
    : path_(std::move(path)), station_(std::move(station)), slots_(slotCount), heartbeat_([this] {
          std::unique_lock lock(mutex_);
          while (!beat_.wait_for(lock, kHeartbeat, [this] { return ending_; })) {
              lock.unlock();
              static_cast<void>(write()); // a file that cannot be written was said so
              lock.lock();
          }
      }) {}

StationMetrics::~StationMetrics() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    beat_.notify_all();
    heartbeat_.wait();
}

void StationMetrics::opening(std::size_t slot) {
    std::lock_guard lock(mutex_);
    slots_[slot].updating = true;
}

std::optional<std::string> StationMetrics::finished(std::size_t slot,
                                                    const runs::AttemptReport& report) {
    {
        std::lock_guard lock(mutex_);
        Slot& counted = slots_[slot];
        counted.updating = false;
        ++counted.attempts[runs::outcomeName(report.outcome)];
        if (report.completed())
            counted.lastCompleted = report.endedAt;
    }
    return write();
}

std::optional<std::string> StationMetrics::setUnsent(std::size_t count) {
    {
        std::lock_guard lock(mutex_);
        if (unsent_ == count)
            return std::nullopt;
        unsent_ = count;
    }
    return write();
}

std::optional<std::string> StationMetrics::setRefused(std::size_t count) {
    {
        std::lock_guard lock(mutex_);
        refused_ = count;
    }
    return write();
}

std::optional<std::string> StationMetrics::sending(const DecodedFile& file) {
    {
        std::lock_guard lock(mutex_);
        release_.emplace(file.signature ? file.signature->version : std::string(), file.sha256);
        stopped_ = false; // a run starts
    }
    return write();
}

std::optional<std::string> StationMetrics::stopped() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        for (Slot& slot : slots_)
            slot.updating = false;
    }
    return write();
}

std::optional<std::string> StationMetrics::setUnlogged(std::size_t count) {
    {
        std::lock_guard lock(mutex_);
        unlogged_ = count;
    }
    return write();
}

void MetricsListener::opening(std::size_t device) {
    metrics_.opening(device);
    if (const auto problem = metrics_.write())
        next_.notice(*problem);
    next_.opening(device);
}

void MetricsListener::finished(std::size_t device, const runs::AttemptReport& report) {
    if (const auto problem = metrics_.finished(device, report))
        next_.notice(*problem);
    next_.finished(device, report);
}

std::string StationMetrics::text() const {
    std::lock_guard lock(mutex_);
    const std::string station = "station=" + quotedLabel(station_);
    std::string out = "# HELP j4_attempts_total Update attempts by station, slot and result.\n"
                      "# TYPE j4_attempts_total counter\n";
    // Every result of every slot from the start, at 0: a rate over a
    // counter that appears only at its first failure misses that failure.
    for (std::size_t i = 0; i < slots_.size(); ++i)
        for (int outcome = 0; outcome <= int(kLastOutcome); ++outcome) {
            const char* result = runs::outcomeName(UpdateOutcome(outcome));
            const auto counted = slots_[i].attempts.find(result);
            out += "j4_attempts_total{" + station + ",slot=\"" + std::to_string(i + 1) +
                   "\",result=\"" + result + "\"} " +
                   std::to_string(counted == slots_[i].attempts.end() ? 0 : counted->second) + "\n";
        }
    out += "# HELP j4_station_heartbeat_timestamp_seconds When the station last wrote this "
           "file: every 30 s while it runs.\n# TYPE j4_station_heartbeat_timestamp_seconds "
           "gauge\nj4_station_heartbeat_timestamp_seconds{" +
           station + "} " + unixSeconds(std::chrono::system_clock::now()) + "\n";
    out += "# HELP j4_last_completed_timestamp_seconds When each slot last completed an "
           "update.\n# TYPE j4_last_completed_timestamp_seconds gauge\n";
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].lastCompleted)
            continue;
        out += "j4_last_completed_timestamp_seconds{" + station + ",slot=\"" +
               std::to_string(i + 1) + "\"} " + unixSeconds(*slots_[i].lastCompleted) + "\n";
    }
    long updating = 0;
    for (const Slot& slot : slots_)
        updating += slot.updating ? 1 : 0;
    out += "# HELP j4_slots The station's slots by state.\n# TYPE j4_slots gauge\n";
    const long all = static_cast<long>(slots_.size());
    out += "j4_slots{" + station + ",state=\"updating\"} " + std::to_string(updating) + "\n";
    out += "j4_slots{" + station + ",state=\"waiting\"} " +
           std::to_string(stopped_ ? 0 : all - updating) + "\n";
    out +=
        "j4_slots{" + station + ",state=\"stopped\"} " + std::to_string(stopped_ ? all : 0) + "\n";
    if (release_)
        out += "# HELP j4_station_info What the station sends: the release's version and the "
               "file's SHA-256.\n# TYPE j4_station_info gauge\nj4_station_info{" +
               station + ",version=" + quotedLabel(kVersion) +
               ",release=" + quotedLabel(release_->first) +
               ",file_sha256=" + quotedLabel(release_->second) + "} 1\n";
    out += "# HELP j4_records_unsent Records not yet sent to the plant's database.\n"
           "# TYPE j4_records_unsent gauge\nj4_records_unsent{" +
           station + "} " + std::to_string(unsent_) + "\n";
    out += "# HELP j4_records_refused_total Records the plant's database refused, set aside in "
           "the log.\n# TYPE j4_records_refused_total counter\nj4_records_refused_total{" +
           station + "} " + std::to_string(refused_) + "\n";
    out += "# HELP j4_log_unwritten_attempts Attempts the update log cannot take yet (a full "
           "disk), kept in memory until it can.\n# TYPE j4_log_unwritten_attempts "
           "gauge\nj4_log_unwritten_attempts{" +
           station + "} " + std::to_string(unlogged_) + "\n";
    return out;
}

std::optional<std::string> StationMetrics::write() {
    // One writer at a time: a snapshot taken earlier never replaces a later.
    std::lock_guard writing(writing_);
    const std::string content = text();
    QSaveFile file(QString::fromLocal8Bit(path_));
    const bool written = file.open(QIODevice::WriteOnly) &&
                         file.write(content.data(), static_cast<qint64>(content.size())) ==
                             static_cast<qint64>(content.size()) &&
                         file.commit();
    if (written || std::exchange(failedSaid_, true))
        return std::nullopt;
    // Said once, as a log that cannot be written is: the station goes on.
    return "The metrics file " + path_ + " cannot be written (" + file.errorString().toStdString() +
           "); the station goes on without it.";
}

} // namespace j4::station
