#pragma once
// Only released files reach a device. Where a trusted key is known, every
// file must carry a minisign signature by one of them, checked over the very
// bytes that are decoded and sent (the file is read once), with its trusted
// comment's release label: its version (not below a minimum) and expiry.

#include "minisign.h"
#include "result.h"
#include "update_session.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace j4::release {

// "X.Y.Z", compared number by number.
struct Version {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    std::uint64_t patch = 0;
    auto operator<=>(const Version&) const = default;
    std::string text() const;
};
// Exactly three whole numbers, none past what 64 bits hold; nothing
// otherwise (a label such as "-rc1" included).
std::optional<Version> parseVersion(const std::string& text);

struct ReleaseOptions {
    std::vector<std::string> trustKeyFiles; // besides the folders and J4_TRUST_KEYS
    bool requireSignature = false;          // no trusted key at all is a refusal
    std::optional<Version> minVersion;
    std::string signatureFile; // empty: FILE.minisig
};

struct TrustedKey {
    minisign::PublicKey key;
    std::string file;
};

// Where the trusted keys are looked for: the system's folder, then the
// user's (each *.pub), then J4_TRUST_KEYS (':'-separated files, ';' on
// Windows).
QString systemTrustedKeyFolder();
QString userTrustedKeyFolder();

class ReleasePolicy {
public:
    // Every key found, or why the policy cannot stand: a key file that is
    // no key, or signatures required with no key to check them.
    static Result<ReleasePolicy> load(const ReleaseOptions& options);

    // Whether every file must be signed.
    bool active() const { return !keys_.empty(); }
    const std::vector<TrustedKey>& keys() const { return keys_; }

    // File first: opens, decodes and, when the policy is active, checks the
    // file's signature over the same bytes; a file that fails is refused.
    PreparedFile prepare(const std::string& path, UpdateFileReader::Kinds kinds,
                         const std::atomic<bool>* stop = nullptr) const;

private:
    std::vector<TrustedKey> keys_;
    ReleaseOptions options_;
};

// The file prepared under the trusted keys as they are now: refused, unread,
// when they cannot be read.
PreparedFile prepareReleased(const ReleaseOptions& options, const std::string& path,
                             UpdateFileReader::Kinds kinds,
                             const std::atomic<bool>* stop = nullptr);

// "Signed by key 1A2B3C4D5E6F7A8B — version 1.4.2" for a file shown to the
// operator; empty for an unsigned one.
std::string signerLine(const DecodedFile& decoded);

} // namespace j4::release
