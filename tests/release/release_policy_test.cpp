// A release policy's verdicts in process, over files signed by the real
// minisign: what is sent, and the words for what is refused.

#include "release_check.h"

#include "processes.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <future>
#include <vector>

using namespace j4;
using namespace j4::release;

namespace {

std::string bytesOf(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

struct Signed : ::testing::Test {
    QTemporaryDir dir;
    QString keys = dir.filePath("keys");
    j4::testing::Minisign signer{(QDir().mkpath(keys), keys), "release"};
    QString file =
        j4::testing::writeUpdateFile(dir.filePath("update.j4u"), j4::testing::makeImage(4, 16));

    ReleaseOptions trusting() const {
        ReleaseOptions options;
        options.trustKeyFiles = {bytesOf(signer.publicKey())};
        return options;
    }
    PreparedFile prepared(const ReleaseOptions& options) const {
        return prepareReleased(options, bytesOf(file), UpdateFileReader::Kinds::RegularOnly);
    }
};

} // namespace

TEST_F(Signed, AFileIsSentOnlyAsItsTrustedKeySignedIt) {
    // No key trusted: files go unsigned, unless a signature is required.
    EXPECT_TRUE(prepared({}).ok());
    ReleaseOptions required;
    required.requireSignature = true;
    EXPECT_FALSE(prepared(required).ok());

    EXPECT_EQ(prepared(trusting()).text, "Update file is not signed.");
    signer.sign(file, "version=1.4.2");
    const PreparedFile sent = prepared(trusting());
    ASSERT_TRUE(sent.ok()) << sent.text << " " << sent.detail;
    ASSERT_TRUE(sent.decoded->signature);
    EXPECT_EQ(QString::fromStdString(sent.decoded->signature->keyId), signer.keyId());
    EXPECT_EQ(sent.decoded->signature->version, "1.4.2");
    EXPECT_EQ(signerLine(*sent.decoded),
              "Signed by key " + signer.keyId().toStdString() + " \u2014 version 1.4.2");

    // Several devices check the same file at once: each gets the verdict.
    std::vector<std::future<bool>> checks;
    for (int device = 0; device < 8; ++device)
        checks.push_back(std::async(std::launch::async, [&] { return prepared(trusting()).ok(); }));
    for (auto& check : checks)
        EXPECT_TRUE(check.get());

    // One byte changed after signing.
    QFile changed(file);
    ASSERT_TRUE(changed.open(QIODevice::ReadWrite));
    QByteArray content = changed.readAll();
    content[content.size() - 3] = content[content.size() - 3] == '0' ? '1' : '0';
    changed.seek(0);
    changed.write(content);
    changed.close();
    const PreparedFile refused = prepared(trusting());
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.refusal, UpdateOutcome::FileRefused);
}

TEST_F(Signed, AMinimumVersionNeedsASignedVersionAtOrAboveIt) {
    ReleaseOptions options = trusting();
    options.minVersion = parseVersion("1.5.0");
    signer.sign(file, "version=1.4.2");
    EXPECT_FALSE(prepared(options).ok());
    signer.sign(file, "version=1.10.0");
    EXPECT_TRUE(prepared(options).ok()) << "compared as numbers, not text";
    signer.sign(file, "built by ci");
    EXPECT_FALSE(prepared(options).ok()) << "no version at all";
    EXPECT_FALSE(parseVersion("4294967297.0.0").has_value() &&
                 *parseVersion("4294967297.0.0") == *parseVersion("1.0.0"))
        << "no wrap to 32 bits";
}
