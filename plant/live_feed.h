#pragma once
// The plant as the live page shows it, kept current off the records: the
// database's j4_live_view() read anew whenever what a station shows
// changes or a line changes (LISTEN), when records arrive (looked for four
// times a second: inserts send no notification), and every 10 s besides, so
// that a station that went quiet turns silent without anyone's help.

#include "pq_session.h"
#include "worker_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace j4::plant {

struct Snapshot {
    std::uint64_t version = 0; // 0: none yet
    std::string json;
};

class LiveFeed {
public:
    // `told` hears each change of trouble: why the database cannot be read,
    // or empty once it can again.
    explicit LiveFeed(std::string url, std::function<void(const std::string&)> told = {});
    ~LiveFeed();
    LiveFeed(const LiveFeed&) = delete;
    LiveFeed& operator=(const LiveFeed&) = delete;

    Snapshot latest() const;
    // A snapshot newer than `version`, or the latest once `wait` passed.
    Snapshot newerThan(std::uint64_t version, std::chrono::milliseconds wait) const;
    // Why the database cannot be read now; empty when it can.
    std::string trouble() const;
    // The connections it made to the database since the start.
    std::uint64_t connections() const { return connections_; }

private:
    void loop();
    bool listenAndRead();
    void publish(std::string json);
    void setTrouble(std::string why);

    const std::string url_;
    const std::function<void(const std::string&)> told_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Snapshot latest_;
    std::string trouble_;
    std::atomic<std::uint64_t> connections_{0};
    WorkerThread thread_; // last: stops before what it uses goes
};

} // namespace j4::plant
