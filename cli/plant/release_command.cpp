// j4_plant release add FILE --signature SIG: a release the plant may assign,
// only as its trusted keys signed it. The stations check it again with
// their own keys before they send it.

#include "plant_command.h"

#include "release_check.h"

#include <QCryptographicHash>
#include <QFile>

#include <nlohmann/json.hpp>

namespace j4::cli::plant {
namespace {

using j4::plant::PlantError;

PlantError refused(std::string text) {
    return {PlantError::Kind::Refused, std::move(text)};
}

// The release as the plant keeps it: the file and its signature read, the
// file checked with the plant's trusted keys; or why not.
Result<j4::plant::Release, PlantError> readRelease(const PlantOptions& options) {
    const std::string& path = options.arguments[1];
    QFile file(QFile::decodeName(path.c_str()));
    QFile signature(QFile::decodeName(options.signature.c_str()));
    if (!file.open(QIODevice::ReadOnly))
        return fail(refused(path + ": cannot be read (" + file.errorString().toStdString() + ")"));
    if (!signature.open(QIODevice::ReadOnly) || signature.size() > 64 * 1024)
        return fail(refused(options.signature + ": cannot be read as a signature"));
    const QByteArray bytes = file.readAll();
    const QByteArray signatureText = signature.readAll();

    release::ReleaseOptions check;
    check.trustKeyFiles = options.trustKeys;
    check.requireSignature = true;
    check.signatureFile = options.signature;
    const PreparedFile checked =
        release::prepareReleased(check, path, UpdateFileReader::Kinds::RegularOnly);
    if (!checked.ok())
        return fail(refused(path + ": " + checked.text +
                            (checked.detail.empty() ? "" : " " + checked.detail)));
    if (!checked.decoded->signature)
        return fail(refused(path + ": not signed by a key the plant trusts"));
    // What was checked is what is stored: the file read twice must be the
    // same file.
    const std::string sha256 =
        QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
    if (sha256 != checked.decoded->sha256)
        return fail(refused(path + ": changed while it was read; add it again"));

    j4::plant::Release release;
    release.sha256 = sha256;
    release.file.assign(bytes.begin(), bytes.end());
    release.signature = signatureText.toStdString();
    release.keyId = checked.decoded->signature->keyId;
    release.version = checked.decoded->signature->version;
    release.trustedComment = checked.decoded->signature->trustedComment;
    return release;
}

void sayAdded(const PlantRun& run, const j4::plant::Release& release,
              j4::plant::ReleaseAdded added) {
    using j4::plant::ReleaseAdded;
    if (run.options.json) {
        say(run.out, nlohmann::json{{"sha256", release.sha256},
                                    {"version", release.version},
                                    {"key_id", release.keyId},
                                    {"added", added == ReleaseAdded::Added},
                                    {"signed_anew", added == ReleaseAdded::SignedAnew}}
                         .dump());
        return;
    }
    const char* how = added == ReleaseAdded::Added        ? "Added"
                      : added == ReleaseAdded::SignedAnew ? "Signed anew:"
                                                          : "Already there:";
    say(run.out, std::string(how) + " release " +
                     (release.version.empty() ? "without a version" : release.version) +
                     ", SHA-256 " + release.sha256 + ", signed by key " + release.keyId + ".");
}

class ReleaseCommand final : public StoreCommand {
protected:
    int executeOn(const PlantRun& run, j4::plant::PlantStore& store) const override {
        const auto release = readRelease(run.options);
        if (!release)
            return failed(run, release.error());
        const auto added = store.addRelease(*release, run.by);
        if (!added)
            return failed(run, added.error());
        sayAdded(run, *release, *added);
        return kDone;
    }
};

} // namespace

std::unique_ptr<PlantCommand> releaseCommand() {
    return std::make_unique<ReleaseCommand>();
}

} // namespace j4::cli::plant
