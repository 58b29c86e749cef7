#include "sha256.h"

// Windows' own cryptography (CNG), which every Windows has.
#include <windows.h>
// After windows.h, whose types it uses.
#include <bcrypt.h>

namespace j4 {

struct Sha256::Context {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~Context() {
        if (hash != nullptr)
            BCryptDestroyHash(hash);
        if (algorithm != nullptr)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (BCryptOpenAlgorithmProvider(&context_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0)
        BCryptCreateHash(context_->algorithm, &context_->hash, nullptr, 0, nullptr, 0, 0);
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
    if (context_->hash != nullptr)
        BCryptHashData(context_->hash, const_cast<PUCHAR>(bytes.data()),
                       static_cast<ULONG>(bytes.size()), 0);
}

std::optional<std::array<std::uint8_t, 32>> Sha256::digest() {
    std::array<std::uint8_t, 32> bytes{};
    if (context_->hash == nullptr ||
        BCryptFinishHash(context_->hash, bytes.data(), static_cast<ULONG>(bytes.size()), 0) != 0)
        return std::nullopt;
    return bytes;
}

} // namespace j4
