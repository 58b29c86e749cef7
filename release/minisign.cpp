#include "minisign.h"

#include <gcrypt.h>

#include <QByteArray>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace j4::release::minisign {
namespace {

void initialiseGcrypt() {
    static std::once_flag once;
    std::call_once(once, [] {
        gcry_check_version(nullptr);
        // Only public keys and signatures pass through here: nothing secret
        // to keep from the swap.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}

// The lines of a text, without their ends ("\n" or "\r\n").
std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// Base64 as minisign writes it, strictly: nothing else on the line.
Result<QByteArray> base64(std::string_view line, const char* what) {
    const auto decoded =
        QByteArray::fromBase64Encoding(QByteArray(line.data(), static_cast<qsizetype>(line.size())),
                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || line.empty())
        return fail(std::string(what) + " is not base64");
    return *decoded;
}

template <std::size_t N> std::array<std::uint8_t, N> bytesAt(const QByteArray& data, int at) {
    std::array<std::uint8_t, N> out{};
    std::memcpy(out.data(), data.constData() + at, N);
    return out;
}

// Ed25519 over `message`, by libgcrypt.
bool ed25519Verifies(const std::array<std::uint8_t, 32>& key,
                     std::span<const std::uint8_t, 64> signature,
                     std::span<const std::uint8_t> message) {
    initialiseGcrypt();
    gcry_sexp_t keyExpr = nullptr;
    gcry_sexp_t signatureExpr = nullptr;
    gcry_sexp_t dataExpr = nullptr;
    bool good =
        gcry_sexp_build(&keyExpr, nullptr,
                        "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                        static_cast<int>(key.size()), key.data()) == 0 &&
        gcry_sexp_build(&signatureExpr, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32,
                        signature.data(), 32, signature.data() + 32) == 0 &&
        gcry_sexp_build(&dataExpr, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        static_cast<int>(message.size()), message.data()) == 0;
    {
        // libgcrypt fills caches of curve constants on first use without a
        // lock: devices verifying at once would each fill them and lose a
        // copy. A verification takes well under a millisecond; the file's
        // hash, the long part, is not held up.
        static std::mutex verifying;
        std::lock_guard lock(verifying);
        good = good && gcry_pk_verify(signatureExpr, dataExpr, keyExpr) == 0;
    }
    gcry_sexp_release(keyExpr);
    gcry_sexp_release(signatureExpr);
    gcry_sexp_release(dataExpr);
    return good;
}

} // namespace

std::string keyIdText(const KeyId& id) {
    // minisign reads the eight bytes as a little-endian number.
    std::string text;
    char digits[3];
    for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
        std::snprintf(digits, sizeof digits, "%02X", *byte);
        text += digits;
    }
    return text;
}

Result<PublicKey> parsePublicKey(std::string_view text) {
    const auto lines = linesOf(text);
    if (lines.size() < 2 || !lines[0].starts_with("untrusted comment:"))
        return fail(
            "it is not a minisign public key (an \"untrusted comment:\" line, then the key)");
    const auto blob = base64(lines[1], "the key");
    if (!blob)
        return fail(blob.error());
    if (blob->size() != 42 || !blob->startsWith("Ed"))
        return fail("the key is not an Ed25519 key of minisign's (42 bytes starting \"Ed\")");
    return PublicKey{bytesAt<8>(*blob, 2), bytesAt<32>(*blob, 10)};
}

Result<Signature> parseSignature(std::string_view text) {
    const auto lines = linesOf(text);
    if (lines.size() < 4 || !lines[0].starts_with("untrusted comment:") ||
        !lines[2].starts_with("trusted comment: "))
        return fail("it is not a minisign signature (four lines: untrusted comment, signature, "
                    "trusted comment, global signature)");
    const auto blob = base64(lines[1], "the signature");
    if (!blob)
        return fail(blob.error());
    if (blob->size() != 74 || !(blob->startsWith("ED") || blob->startsWith("Ed")))
        return fail("the signature is not one of minisign's (74 bytes starting \"ED\")");
    const auto global = base64(lines[3], "the trusted comment's signature");
    if (!global)
        return fail(global.error());
    if (global->size() != 64)
        return fail("the trusted comment's signature is not 64 bytes");
    Signature signature;
    signature.prehashed = blob->startsWith("ED");
    signature.keyId = bytesAt<8>(*blob, 2);
    signature.signature = bytesAt<64>(*blob, 10);
    signature.trustedComment = std::string(lines[2].substr(std::strlen("trusted comment: ")));
    signature.globalSignature = bytesAt<64>(*global, 0);
    return signature;
}

struct FileHash::Context {
    gcry_md_hd_t handle = nullptr;
};

FileHash::FileHash() : context_(std::make_unique<Context>()) {
    initialiseGcrypt();
    gcry_md_open(&context_->handle, GCRY_MD_BLAKE2B_512, 0);
}

FileHash::~FileHash() {
    gcry_md_close(context_->handle);
}

void FileHash::update(std::span<const std::uint8_t> chunk) {
    gcry_md_write(context_->handle, chunk.data(), chunk.size());
}

std::array<std::uint8_t, 64> FileHash::digest() {
    std::array<std::uint8_t, 64> out{};
    if (const unsigned char* digest = gcry_md_read(context_->handle, GCRY_MD_BLAKE2B_512))
        std::memcpy(out.data(), digest, out.size());
    return out;
}

bool verifyFile(const PublicKey& key, const Signature& signature,
                std::span<const std::uint8_t, 64> fileHash) {
    return ed25519Verifies(key.key, signature.signature, fileHash);
}

bool verifyComment(const PublicKey& key, const Signature& signature) {
    // The global signature covers the file's signature and the comment.
    std::vector<std::uint8_t> signedComment(signature.signature.begin(), signature.signature.end());
    signedComment.insert(signedComment.end(), signature.trustedComment.begin(),
                         signature.trustedComment.end());
    return ed25519Verifies(key.key, signature.globalSignature, signedComment);
}

Verdict verify(const PublicKey& key, const Signature& signature,
               std::span<const std::uint8_t, 64> fileHash) {
    return {verifyFile(key, signature, fileHash), verifyComment(key, signature)};
}

} // namespace j4::release::minisign
