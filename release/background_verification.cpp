#include "background_verification.h"

namespace j4::release {
namespace {

// Chunks waiting at the most: the decoding is slower than the hash, so the
// queue stays short; a bound keeps it so on any machine.
constexpr std::size_t kMaxWaitingChunks = 64;

} // namespace

BackgroundVerification::BackgroundVerification(const minisign::PublicKey& key,
                                               const minisign::Signature& signature)
    : key_(key), signature_(signature),
      commentSigned_(
          std::async(std::launch::async,
                     [&key, &signature] { return minisign::verifyComment(key, signature); })),
      thread_([this] { run(); }) {}

BackgroundVerification::~BackgroundVerification() {
    finish();
}

void BackgroundVerification::take(std::span<const std::uint8_t> chunk) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return chunks_.size() < kMaxWaitingChunks; });
    chunks_.emplace_back(chunk.begin(), chunk.end());
    changed_.notify_all();
}

minisign::Verdict BackgroundVerification::verdict() {
    finish();
    return {fileSigned_, commentSigned_.get()};
}

void BackgroundVerification::finish() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void BackgroundVerification::run() {
    minisign::FileHash hash;
    for (;;) {
        std::vector<std::uint8_t> chunk;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return ended_ || !chunks_.empty(); });
            if (chunks_.empty())
                break;
            chunk = std::move(chunks_.front());
            chunks_.pop_front();
        }
        changed_.notify_all();
        hash.update(chunk);
    }
    const auto digest = hash.digest();
    fileSigned_ = minisign::verifyFile(key_, signature_, digest);
}

} // namespace j4::release
