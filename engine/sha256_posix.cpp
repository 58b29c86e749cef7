#include "sha256.h"

// Nettle, as Debian has it: small, so it costs the window's start-up next to
// nothing (OpenSSL's libcrypto cost a tenth of it).
#include <nettle/sha2.h>

namespace j4 {

struct Sha256::Context {
    sha256_ctx state{};
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    sha256_init(&context_->state);
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
    sha256_update(&context_->state, bytes.size(), bytes.data());
}

std::optional<std::array<std::uint8_t, 32>> Sha256::digest() {
    std::array<std::uint8_t, 32> bytes{};
    sha256_digest(&context_->state, bytes.size(), bytes.data());
    return bytes;
}

} // namespace j4
