#pragma once
// A few threads for the page's work that waits on the database (a unit's
// history, a hold), so that no such wait holds the network's threads. Its
// queue is bounded, in all and for one address: one client cannot take the
// threads everyone else needs.

#include "worker_thread.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace j4::plant {

class ErrandPool {
public:
    ErrandPool();
    ~ErrandPool() { close(); }
    ErrandPool(const ErrandPool&) = delete;
    ErrandPool& operator=(const ErrandPool&) = delete;

    // Done later on one of the pool's threads, `accepted` told first (before
    // the errand can start); false (and neither done) when the pool is full,
    // or this address has its share, or it is closed.
    bool post(const std::string& address, std::function<void()> errand,
              const std::function<void()>& accepted);
    // Takes no more, does what was posted and waits for it.
    void close();

private:
    void work();

    struct Posted {
        std::string address;
        std::function<void()> errand;
    };
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Posted> queue_;
    std::map<std::string, int> byAddress_; // queued or under way
    bool closed_ = false;
    std::vector<WorkerThread> threads_;
};

} // namespace j4::plant
