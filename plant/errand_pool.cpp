#include "errand_pool.h"

namespace j4::plant {
namespace {

constexpr int kThreads = 4;
constexpr std::size_t kQueued = 32;
constexpr int kPerAddress = 2;

} // namespace

ErrandPool::ErrandPool() {
    for (int i = 0; i < kThreads; ++i)
        threads_.emplace_back([this] { work(); });
}

bool ErrandPool::post(const std::string& address, std::function<void()> errand,
                      const std::function<void()>& accepted) {
    const std::lock_guard lock(mutex_);
    const auto share = byAddress_.find(address);
    if (closed_ || queue_.size() >= kQueued ||
        (share != byAddress_.end() && share->second >= kPerAddress))
        return false;
    ++byAddress_[address];
    accepted();
    queue_.push_back({address, std::move(errand)});
    posted_.notify_one();
    return true;
}

void ErrandPool::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    posted_.notify_all();
    for (WorkerThread& thread : threads_)
        thread.wait();
}

void ErrandPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        posted_.wait(lock, [this] { return closed_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        Posted next = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        next.errand();
        lock.lock();
        if (--byAddress_[next.address] == 0)
            byAddress_.erase(next.address);
    }
}

} // namespace j4::plant
