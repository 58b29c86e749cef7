// Signed releases: only files signed by a trusted key reach a device. Keys
// and signatures are made by minisign itself, never by a writer of ours.

#include "flash_fixture.h"

#include <sys/stat.h>

class SignedRelease : public FlashCli {
protected:
    Minisign release{dir.path(), QStringLiteral("release")};
    // No trusted-keys folder of the user's: only the keys a test names.
    QStringList environment{QStringLiteral("XDG_CONFIG_HOME=") + dir.filePath("config"),
                            QStringLiteral("J4_TRUST_KEYS=")};

    QString copyOf(const QString& name, const QByteArray& content) {
        return textFile(name.toLatin1().constData(), content);
    }
    QByteArray fileText() const {
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
};

TEST_F(SignedRelease, AGoodSignatureUpdatesAndIsShownAndLogged) {
    release.sign(file, "version=1.4.2 expires=2099-12-31");
    Minisign other(dir.path(), QStringLiteral("other"));
    DevSim device;
    const QString log = dir.filePath("log.jsonl");
    // Two trusted keys, signed by the second.
    const ProgramResult r =
        flash({"--device", device.device(), "--trust-key", other.publicKey(), "--trust-key",
               release.publicKey(), "--min-version", "1.4.0", "--log", log, "-q", file},
              environment);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(device.capture() == image);
    QFile logged(log);
    ASSERT_TRUE(logged.open(QIODevice::ReadOnly));
    const QJsonObject entry = QJsonDocument::fromJson(logged.readLine()).object();
    EXPECT_EQ(entry["signature_key_id"].toString(), release.keyId());
    EXPECT_EQ(entry["release_version"].toString(), "1.4.2");
    EXPECT_EQ(entry["trusted_comment"].toString(), "version=1.4.2 expires=2099-12-31");

    // --check says who signed, the label, and minisign's own timestamp.
    const QString stamped = copyOf("stamped.j4u", fileText());
    ASSERT_EQ(runProgram("minisign", {"-S", "-s", release.secretKey(), "-m", stamped}).exitCode, 0);
    const ProgramResult checked = flash(
        {"--check", stamped}, environment + QStringList{"J4_TRUST_KEYS=" + release.publicKey()});
    EXPECT_EQ(checked.exitCode, 0) << checked.err.toStdString();
    EXPECT_TRUE(checked.out.contains(QRegularExpression(
        "signed by key " + release.keyId() + ", version -, expires -, timestamp [0-9]+\n")))
        << checked.out.toStdString();

    // Standard input, its signature named; and unsigned files go as ever
    // while no key is trusted.
    DevSim piped;
    const ProgramResult fromPipe = runProgram(
        "sh",
        {"-c", QStringLiteral("'%1' --device '%2' --trust-key '%3' --signature '%4' -q - < '%5'")
                   .arg(flashPath(), piped.device(), release.publicKey(), file + ".minisig", file)},
        environment);
    EXPECT_EQ(fromPipe.exitCode, 0) << fromPipe.err.toStdString();
    EXPECT_TRUE(piped.capture() == image);
    DevSim unsignedDevice;
    const QString plain = copyOf("plain.j4u", fileText());
    EXPECT_EQ(flash({"--device", unsignedDevice.device(), "-q", plain}, environment).exitCode, 0);
}

TEST_F(SignedRelease, EveryOtherFileIsRefusedBeforeAnyPortOpens) {
    Minisign other(dir.path(), QStringLiteral("other"));
    const QByteArray text = fileText();
    const QString good = copyOf("good.j4u", text);
    release.sign(good, "version=1.4.2");
    QFile goodSignature(good + ".minisig");
    goodSignature.open(QIODevice::ReadOnly);
    const QByteArray signature = goodSignature.readAll();

    const QString unsignedFile = copyOf("unsigned.j4u", text);
    QByteArray changedText = text;
    changedText[changedText.indexOf('A')] = 'B';
    const QString changed = copyOf("changed.j4u", changedText);
    copyOf("changed.j4u.minisig", signature);
    const QString byOther = copyOf("other.j4u", text);
    other.sign(byOther, "version=1.4.2");
    const QString legacy = copyOf("legacy.j4u", text);
    release.sign(legacy, "version=1.4.2", {}, true);
    const QString edited = copyOf("edited.j4u", text);
    copyOf("edited.j4u.minisig", QByteArray(signature).replace("version=1.4.2", "version=9.9.9"));
    const QString truncated = copyOf("truncated.j4u", text);
    copyOf("truncated.j4u.minisig", signature.left(60));
    const QString garbage = copyOf("garbage.j4u", text);
    copyOf("garbage.j4u.minisig", "untrusted comment: x\n!!!!\ntrusted comment: x\n????\n");
    const QString old = copyOf("old.j4u", text);
    release.sign(old, "version=1.3.0");
    const QString unversioned = copyOf("unversioned.j4u", text);
    release.sign(unversioned, "built by the night job");
    const QString expired = copyOf("expired.j4u", text);
    release.sign(expired, "version=1.4.2 expires=2020-01-31");
    const QString badKey = copyOf("bad.pub", "untrusted comment: not a key\nAAAA\n");
    const QString wrapping = copyOf("wrapping.j4u", text);
    release.sign(wrapping, "version=4294967297.0.0");
    const QString labelled = copyOf("labelled.j4u", text);
    release.sign(labelled, "version=1.4.2-rc1");
    const QString huge = copyOf("huge.j4u", text);
    copyOf("huge.j4u.minisig", signature + QByteArray(70000, '\n'));
    const QByteArray releaseKey = [&] {
        QFile key(release.publicKey());
        key.open(QIODevice::ReadOnly);
        return key.readAll();
    }();
    const QString sameId = copyOf("same-id.pub", releaseKey);

    // A key others could swap for theirs, in the file or in its folder.
    const QString writableKey = copyOf("writable.pub", releaseKey);
    QFile(writableKey).setPermissions(QFile(writableKey).permissions() | QFile::WriteOther);
    QDir().mkpath(dir.filePath("shared-keys"));
    const QString keyInSharedFolder = dir.filePath("shared-keys/release.pub");
    QFile::copy(release.publicKey(), keyInSharedFolder);
    ASSERT_EQ(::chmod(QFile::encodeName(dir.filePath("shared-keys")).constData(), 0777), 0);

    struct Case {
        QString file;
        QStringList options;
        QString sentence;
    };
    const QStringList trusted{"--trust-key", release.publicKey()};
    const Case cases[] = {
        {unsignedFile, trusted, "Update file is not signed."},
        {changed, trusted, "Update file was changed after it was signed."},
        {byOther, trusted,
         "Update file is not signed by a trusted key (key ID " + other.keyId() + ")."},
        {legacy, trusted,
         "Update file is signed in minisign's legacy form, which is not accepted."},
        {edited, trusted, "Update file's trusted comment was changed after it was signed."},
        {truncated, trusted, "Update file's signature cannot be read."},
        {garbage, trusted, "Update file's signature cannot be read."},
        {good,
         {"--trust-key", badKey},
         "The trusted key " + badKey +
             " cannot be used (the key is not an Ed25519 key of minisign's (42 bytes starting "
             "\"Ed\")). Replace it with the release engineer's minisign public key."},
        {good,
         {"--require-signature"},
         "Signatures are required and no trusted key is installed: nothing is sent. Put the "
         "release key in /etc/j4-updater/trusted-keys/ or give it with --trust-key."},
        {old, trusted + QStringList{"--min-version", "1.4.0"},
         "Update file is version 1.3.0; this station accepts 1.4.0 or later."},
        {unversioned, trusted + QStringList{"--min-version", "1.0.0"},
         "Update file has no version; this station accepts 1.0.0 or later."},
        {expired, trusted, "Update file's release expired on 2020-01-31 (dates are UTC)."},
        // 2^32 + 1 wraps to 1 in 32 bits; here it stays far too new a
        // version, and a smaller one, 2^32 + 2, is no 2.0.0.
        {wrapping, trusted + QStringList{"--min-version", "4294967298.0.0"},
         "Update file is version 4294967297.0.0; this station accepts 4294967298.0.0 or later."},
        {labelled, trusted + QStringList{"--min-version", "1.0.0"},
         "Update file is version 1.4.2-rc1, with a label this station does not take; this "
         "station accepts 1.0.0 or later."},
        {huge, trusted, "Update file's signature is too large to be a signature."},
        {good, QStringList{"--min-version", "1.0.0"},
         "--min-version needs the release's signed version, and no trusted key is installed: "
         "nothing is sent. Put the release key in /etc/j4-updater/trusted-keys/ or give it with "
         "--trust-key."},
        {good, QStringList{"--signature", good + ".minisig"},
         "--signature names a signature, and no trusted key is installed to check it: nothing is "
         "sent. Put the release key in /etc/j4-updater/trusted-keys/ or give it with "
         "--trust-key."},
        {good, trusted + QStringList{"--trust-key", sameId},
         "Two trusted keys have the key ID " + release.keyId() + ": " + release.publicKey() +
             " and " + sameId + ". Keep one of them."},
        {good,
         {"--trust-key", writableKey},
         "The trusted key " + writableKey + " is not used: other users can write it: run chmod "
             "go-w " + writableKey + "."},
        {good,
         {"--trust-key", keyInSharedFolder},
         "The trusted key " + keyInSharedFolder +
             " is not used: other users can replace it in its folder: run chmod go-w " +
             dir.filePath("shared-keys") + "."},
        {good, QStringList{"--trust-key", release.publicKey(), "--signature", good},
         "Update file's signature cannot be read."},
    };
    for (const Case& c : cases) {
        DevSim device;
        const ProgramResult r =
            flash(QStringList{"--device", device.device(), "-q"} + c.options + QStringList{c.file},
                  environment);
        EXPECT_EQ(r.exitCode, 3) << c.sentence.toStdString() << '\n' << r.err.toStdString();
        EXPECT_EQ(r.lastLine().toStdString(), "j4_flash: " + c.sentence.toStdString());
        EXPECT_TRUE(device.stop().startsWith("transmissions=0")) << c.sentence.toStdString();
    }
    // A key in the user's trusted-keys folder is trusted as one given.
    QDir().mkpath(dir.filePath("config/j4-updater/trusted-keys"));
    QFile::copy(release.publicKey(), dir.filePath("config/j4-updater/trusted-keys/release.pub"));
    const ProgramResult r = flash({"--check", unsignedFile}, environment);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.lastLine().toStdString(), "j4_flash: Update file is not signed.");
    EXPECT_EQ(flash({"--check", good}, environment).exitCode, 0);
    EXPECT_EQ(flash({"--check", good, "--min-version", "1.4"}, environment).exitCode, 2);
}
