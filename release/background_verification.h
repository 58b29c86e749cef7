#pragma once
// A signature's checks beside the decoding and the SHA-256 it already
// computes: the trusted comment's signature on a thread of its own at once,
// the file's BLAKE2b-512 on another as its chunks are handed over, then the
// file's signature. A release check then adds to a file's reading little
// more than that last verification.

#include "minisign.h"
#include "worker_thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

namespace j4::release {

class BackgroundVerification {
public:
    BackgroundVerification(const minisign::PublicKey& key, const minisign::Signature& signature);
    ~BackgroundVerification();
    BackgroundVerification(const BackgroundVerification&) = delete;
    BackgroundVerification& operator=(const BackgroundVerification&) = delete;

    // The next chunk of the file (copied).
    void take(std::span<const std::uint8_t> chunk);
    // Once the whole file was taken.
    minisign::Verdict verdict();

private:
    void run();
    void finish();

    const minisign::PublicKey& key_;
    const minisign::Signature& signature_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> chunks_;
    bool ended_ = false;
    bool fileSigned_ = false;
    bool commentSigned_ = false;
    // Last: they end before what they use goes.
    WorkerThread comment_;
    WorkerThread file_;
};

} // namespace j4::release
