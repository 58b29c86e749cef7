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
      comment_([this] { commentSigned_ = minisign::verifyComment(key_, signature_); }),
      file_([this] { run(); }) {}

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
    comment_.wait();
    return {fileSigned_, commentSigned_};
}

void BackgroundVerification::finish() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
    file_.wait();
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
