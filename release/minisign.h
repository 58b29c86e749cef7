#pragma once
// minisign's formats, read and checked: a public key, a detached signature
// (the prehashed form: Ed25519 over the file's BLAKE2b-512) and its trusted
// comment's global signature. The cryptography is libgcrypt's.

#include "result.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace j4::release::minisign {

using KeyId = std::array<std::uint8_t, 8>;

// The key ID as minisign prints it: 16 upper-case hexadecimal digits.
std::string keyIdText(const KeyId& id);

struct PublicKey {
    KeyId id{};
    std::array<std::uint8_t, 32> key{};
};

struct Signature {
    bool prehashed = true; // "ED"; false: the legacy "Ed" over the whole file
    KeyId keyId{};
    std::array<std::uint8_t, 64> signature{};
    std::string trustedComment;
    std::array<std::uint8_t, 64> globalSignature{};
};

// A public key file's text ("untrusted comment: ..." then the base64 line),
// or why it is not one.
Result<PublicKey> parsePublicKey(std::string_view text);
// A signature file's text, or why it is not one.
Result<Signature> parseSignature(std::string_view text);

// BLAKE2b-512 over a file read in chunks.
class FileHash {
public:
    FileHash();
    ~FileHash();
    FileHash(const FileHash&) = delete;
    FileHash& operator=(const FileHash&) = delete;
    void update(std::span<const std::uint8_t> chunk);
    std::array<std::uint8_t, 64> digest();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// Whether `signature` by `key` holds for the file whose BLAKE2b-512 is
// `fileHash`: the signature itself, then its trusted comment's.
struct Verdict {
    bool fileSigned = false;    // the file is what was signed
    bool commentSigned = false; // the trusted comment is as signed
};
Verdict verify(const PublicKey& key, const Signature& signature,
               std::span<const std::uint8_t, 64> fileHash);
// Each on its own: the file's signature, and the trusted comment's.
bool verifyFile(const PublicKey& key, const Signature& signature,
                std::span<const std::uint8_t, 64> fileHash);
bool verifyComment(const PublicKey& key, const Signature& signature);

} // namespace j4::release::minisign
