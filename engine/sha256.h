#pragma once
// SHA-256 of a stream of bytes: Nettle on Linux, the system's CNG (bcrypt) on
// Windows, one file each.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
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
    // Lower-case hexadecimal (empty if the system failed); the hash can take
    // no more bytes after it.
    std::string hex();

private:
    // The 32 bytes of the digest, nothing if the system failed (platform code).
    std::optional<std::array<std::uint8_t, 32>> digest();

    struct Context;
    std::unique_ptr<Context> context_;
};

} // namespace j4
