#include "release_check.h"

#include <charconv>

#include "background_verification.h"
#include "owner_only.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cstdio>
#include <map>

namespace j4::release {
namespace {

constexpr std::size_t kSmallFileLimit = 64 * 1024;
constexpr const char* kTooLarge = "it is too large for a key or a signature (over 64 KiB)";

// A key or signature file's text: opened without blocking (a FIFO named by
// mistake cannot hang a run), regular files only, small.
Result<std::string> readSmallFile(const std::string& path) {
    auto opened = UpdateFileReader::open(path, UpdateFileReader::Kinds::RegularOnly);
    if (!opened)
        return fail(opened.error());
    std::string text(kSmallFileLimit + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const auto got = (*opened)->read(
            std::span(reinterpret_cast<std::uint8_t*>(text.data()) + length, text.size() - length));
        if (got < 0)
            return fail("it cannot be read");
        if (got == 0)
            break;
        length += static_cast<std::size_t>(got);
    }
    if (length > kSmallFileLimit)
        return fail(std::string(kTooLarge));
    text.resize(length);
    return text;
}

Result<TrustedKey> readKey(const std::string& file) {
    if (const auto guarded = onlyOwnerCanChange(file); !guarded)
        return fail("The trusted key " + file + " is not used: " + guarded.error() + ".");
    const auto text = readSmallFile(file);
    const auto key =
        text ? minisign::parsePublicKey(*text) : Result<minisign::PublicKey>(fail(text.error()));
    if (!key)
        return fail("The trusted key " + file + " cannot be used (" + key.error() +
                    "). Replace it with the release engineer's minisign public key.");
    return TrustedKey{*key, file};
}

std::vector<std::string> keyFilesIn(const QString& folder) {
    std::vector<std::string> files;
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.pub")}, QDir::Files, QDir::Name))
        files.push_back(QFile::encodeName(dir.filePath(name)).toStdString());
    return files;
}

std::vector<std::string> keyFilesFromEnvironment() {
    std::vector<std::string> files;
    for (const QString& file :
         qEnvironmentVariable("J4_TRUST_KEYS").split(QDir::listSeparator(), Qt::SkipEmptyParts))
        files.push_back(QFile::encodeName(file).toStdString());
    return files;
}

// The trusted comment's words: "key=value" (as a release engineer writes
// them with -t) or "key:value" (minisign's own timestamp: and file:).
std::map<std::string, std::string> commentFields(const std::string& comment) {
    std::map<std::string, std::string> fields;
    std::size_t at = 0;
    while (at < comment.size()) {
        const auto start = comment.find_first_not_of(" \t", at);
        if (start == std::string::npos)
            break;
        const auto end = std::min(comment.find_first_of(" \t", start), comment.size());
        const std::string word = comment.substr(start, end - start);
        if (const auto split = word.find_first_of("=:"); split != std::string::npos)
            fields.emplace(word.substr(0, split), word.substr(split + 1));
        at = end;
    }
    return fields;
}

using Refusal = FileCheck::Refusal;

std::string trustedKeyList(const std::vector<TrustedKey>& keys) {
    std::string list;
    for (const TrustedKey& key : keys)
        list +=
            (list.empty() ? "" : ", ") + minisign::keyIdText(key.key.id) + " (" + key.file + ")";
    return list;
}

} // namespace

std::string Version::text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

std::optional<Version> parseVersion(const std::string& text) {
    Version version;
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (std::uint64_t* part : {&version.major, &version.minor, &version.patch}) {
        if (part != &version.major) {
            if (at == end || *at != '.')
                return std::nullopt;
            ++at;
        }
        // Digits only: from_chars takes no sign, and says when a number is
        // past the type's range instead of wrapping it.
        const auto [next, error] = std::from_chars(at, end, *part);
        if (error != std::errc() || next == at)
            return std::nullopt;
        at = next;
    }
    if (at != end)
        return std::nullopt;
    return version;
}

QString userTrustedKeyFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/j4-updater/trusted-keys");
}

namespace {

// The signature's verdict over the bytes as they are read for decoding: the
// signature read and its key found first, the hashing and verifying beside
// the decoding.
class SignatureCheck final : public FileCheck {
public:
    SignatureCheck(const std::vector<TrustedKey>& keys, const ReleaseOptions& options,
                   std::string file, std::string signatureFile)
        : keys_(keys), options_(options), file_(std::move(file)),
          signatureFile_(std::move(signatureFile)), signature_(readSignature()),
          key_(signature_ ? signer(*signature_) : nullptr) {
        if (key_ != nullptr)
            background_.emplace(key_->key, *signature_);
    }

    void take(std::span<const std::uint8_t> chunk) override {
        if (background_)
            background_->take(chunk);
    }

    Result<Done, Refusal> judge(DecodedFile& decoded) override {
        if (!signature_)
            return fail(signature_.error());
        if (key_ == nullptr)
            return fail(Refusal{"Update file is not signed by a trusted key (key ID " +
                                    minisign::keyIdText(signature_->keyId) + ").",
                                signatureFile_ + "; trusted: " + trustedKeyList(keys_)});
        const auto verdict = background_->verdict();
        const std::string by = " (key ID " + minisign::keyIdText(key_->key.id) + ")";
        if (!verdict.fileSigned)
            return fail(Refusal{"Update file was changed after it was signed.",
                                file_ + " does not match its signature " + signatureFile_ + by});
        if (!verdict.commentSigned)
            return fail(Refusal{"Update file's trusted comment was changed after it was signed.",
                                signatureFile_ + by});
        ReleaseSignature release{
            minisign::keyIdText(key_->key.id), {}, {}, {}, signature_->trustedComment};
        const auto fields = commentFields(signature_->trustedComment);
        for (auto [name, field] :
             {std::pair{"version", &release.version}, std::pair{"expires", &release.expires},
              std::pair{"timestamp", &release.timestamp}})
            if (const auto at = fields.find(name); at != fields.end())
                *field = at->second;
        if (auto label = judgeLabel(release); !label)
            return label;
        decoded.signature = std::move(release);
        return Done{};
    }

private:
    Result<minisign::Signature, Refusal> readSignature() const {
        const auto text = readSmallFile(signatureFile_);
        if (!text && text.error() == kTooLarge)
            return fail(Refusal{"Update file's signature is too large to be a signature.",
                                signatureFile_ + ": " + text.error() +
                                    "; a minisign signature is a few hundred bytes."});
        if (!text)
            return fail(Refusal{"Update file is not signed.",
                                signatureFile_ + ": " + text.error() +
                                    ". Sign it with minisign -S -m " + file_ +
                                    ", or name its signature with --signature."});
        auto signature = minisign::parseSignature(*text);
        if (!signature)
            return fail(Refusal{"Update file's signature cannot be read.",
                                signatureFile_ + ": " + signature.error()});
        if (!signature->prehashed)
            return fail(Refusal{"Update file is signed in minisign's legacy form, which is not "
                                "accepted.",
                                signatureFile_ + ": sign it again with minisign -S, without -l."});
        return std::move(*signature);
    }

    const TrustedKey* signer(const minisign::Signature& signature) const {
        for (const TrustedKey& key : keys_)
            if (key.key.id == signature.keyId)
                return &key;
        return nullptr;
    }

    // The release label: not expired, and not below the minimum version.
    Result<Done, Refusal> judgeLabel(const ReleaseSignature& release) const {
        if (!release.expires.empty()) {
            const QDate expires =
                QDate::fromString(QString::fromStdString(release.expires), Qt::ISODate);
            if (!expires.isValid())
                return fail(Refusal{"Update file's expiry date " + release.expires +
                                        " is not a date (YYYY-MM-DD).",
                                    signatureFile_});
            if (QDateTime::currentDateTimeUtc().date() > expires)
                return fail(Refusal{"Update file's release expired on " + release.expires +
                                        " (dates are UTC).",
                                    signatureFile_});
        }
        if (!options_.minVersion)
            return Done{};
        const std::string accepts =
            "this station accepts " + options_.minVersion->text() + " or later.";
        const auto version = parseVersion(release.version);
        const auto dash = release.version.find('-');
        if (!version && dash != std::string::npos && parseVersion(release.version.substr(0, dash)))
            return fail(Refusal{"Update file is version " + release.version +
                                    ", with a label this station does not take; " + accepts,
                                signatureFile_});
        if (!version)
            return fail(Refusal{"Update file has no version; " + accepts,
                                "Its trusted comment: " + release.trustedComment +
                                    ". Sign releases with minisign -S -t 'version=X.Y.Z'."});
        if (*version < *options_.minVersion)
            return fail(Refusal{"Update file is version " + version->text() + "; " + accepts,
                                signatureFile_});
        return Done{};
    }

    const std::vector<TrustedKey>& keys_;
    const ReleaseOptions& options_;
    std::string file_;
    std::string signatureFile_;
    Result<minisign::Signature, Refusal> signature_;
    const TrustedKey* key_;
    std::optional<BackgroundVerification> background_;
};

} // namespace

Result<ReleasePolicy> ReleasePolicy::load(const ReleaseOptions& options) {
    ReleasePolicy policy;
    policy.options_ = options;
    std::vector<std::string> files = keyFilesIn(systemTrustedKeyFolder());
    for (auto more :
         {keyFilesIn(userTrustedKeyFolder()), keyFilesFromEnvironment(), options.trustKeyFiles})
        files.insert(files.end(), more.begin(), more.end());
    for (const std::string& file : files) {
        auto key = readKey(file);
        if (!key)
            return fail(key.error());
        policy.keys_.push_back(std::move(*key));
    }
    const std::string putKey = "Put the release key in " +
                               QFile::encodeName(systemTrustedKeyFolder()).toStdString() +
                               "/ or give it with --trust-key.";
    if (options.requireSignature && policy.keys_.empty())
        return fail("Signatures are required and no trusted key is installed: nothing is sent. " +
                    putKey);
    // A version or a signature asked for is a check that needs a key: without
    // one, any file of any version would go.
    if (options.minVersion && policy.keys_.empty())
        return fail("--min-version needs the release's signed version, and no trusted key is "
                    "installed: nothing is sent. " +
                    putKey);
    if (!options.signatureFile.empty() && policy.keys_.empty())
        return fail("--signature names a signature, and no trusted key is installed to check it: "
                    "nothing is sent. " +
                    putKey);
    for (std::size_t i = 0; i < policy.keys_.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (policy.keys_[i].key.id == policy.keys_[j].key.id)
                return fail("Two trusted keys have the key ID " +
                            minisign::keyIdText(policy.keys_[i].key.id) + ": " +
                            policy.keys_[j].file + " and " + policy.keys_[i].file +
                            ". Keep one of them.");
    return policy;
}

PreparedFile ReleasePolicy::prepare(const std::string& path, UpdateFileReader::Kinds kinds,
                                    const std::atomic<bool>* stop) const {
    if (!active())
        return prepareUpdateFile(path, kinds, stop);
    if (path == kStandardInput && options_.signatureFile.empty())
        return {nullptr,
                UpdateOutcome::FileRefused,
                "Update file from standard input needs its signature named with --signature "
                "SIG.",
                {}};
    const std::string signatureFile =
        options_.signatureFile.empty() ? path + ".minisig" : options_.signatureFile;
    SignatureCheck check(keys_, options_, path, signatureFile);
    return prepareUpdateFile(path, kinds, stop, &check);
}

std::string signerLine(const DecodedFile& decoded) {
    if (!decoded.signature)
        return {};
    std::string line = "Signed by key " + decoded.signature->keyId;
    if (!decoded.signature->version.empty())
        line += " \u2014 version " + decoded.signature->version;
    return line;
}

PreparedFile prepareReleased(const ReleaseOptions& options, const std::string& path,
                             UpdateFileReader::Kinds kinds, const std::atomic<bool>* stop) {
    const auto policy = ReleasePolicy::load(options);
    if (!policy)
        return PreparedFile::refused(UpdateOutcome::FileRefused, policy.error());
    return policy->prepare(path, kinds, stop);
}

} // namespace j4::release
