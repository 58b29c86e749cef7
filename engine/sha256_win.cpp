#include "sha256.h"

// Windows' own cryptography (CNG), which every Windows has.
#include <windows.h>
// After windows.h, whose types it uses.
#include <bcrypt.h>

#include <vector>

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

std::string Sha256::hex() {
    unsigned char digest[32];
    if (context_->hash == nullptr ||
        BCryptFinishHash(context_->hash, digest, sizeof digest, 0) != 0)
        return {};
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

} // namespace j4
