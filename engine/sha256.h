#pragma once
// SHA-256 of a stream of bytes, by OpenSSL's libcrypto.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace j4 {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::uint8_t> bytes);
    // Lower-case hexadecimal; the hash can take no more bytes after it.
    std::string hex();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

} // namespace j4
