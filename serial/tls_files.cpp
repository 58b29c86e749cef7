#include "tls_files.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>

namespace j4 {
namespace {

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

// OpenSSL asks this instead of the terminal: no passphrase is given, and
// the question itself is noted.
int noPassphrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return 0;
}

} // namespace

Result<Done> checkKey(const std::string& path) {
    const Bio bio(BIO_new_file(path.c_str(), "r"), &BIO_free);
    if (!bio)
        return Done{};
    bool asked = false;
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, &asked);
    EVP_PKEY_free(key);
    ERR_clear_error();
    if (!asked)
        return Done{};
    return fail("The TLS key " + path +
                " is protected by a passphrase; give a key without one (openssl pkey -in " + path +
                " -out station.key, then chmod 600 station.key).");
}

std::string keyPermissionNote(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & (S_IRGRP | S_IROTH)) == 0)
        return {};
    static std::mutex mutex;
    static std::set<std::string> warned;
    const std::lock_guard lock(mutex);
    if (!warned.insert(path).second)
        return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "Warning: the TLS key " + path + " can be read by other users (mode " + mode +
           "): chmod 600 " + path + ".";
}

Result<std::string> authorityFolder(const std::string& caFile,
                                    std::unique_ptr<QTemporaryDir>& store) {
    const QFileInfo info(QString::fromLocal8Bit(caFile));
    if (info.isDir())
        return caFile.ends_with('/') ? caFile : caFile + "/";
    if (store)
        return QFile::encodeName(store->path()).toStdString() + "/";
    const Bio bio(BIO_new_file(caFile.c_str(), "r"), &BIO_free);
    if (!bio) {
        ERR_clear_error();
        return fail("the authority " + caFile + " cannot be read");
    }
    auto folder = std::make_unique<QTemporaryDir>();
    if (!folder->isValid()) {
        return fail("no temporary folder for the authority's certificates");
    }
    const std::string path = QFile::encodeName(folder->path()).toStdString();
    // Named as OpenSSL looks them up: the subject's hash, then a sequence
    // number for authorities whose names hash alike.
    std::map<unsigned long, int> seen;
    int count = 0;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        const unsigned long hash = X509_subject_name_hash(certificate);
        char name[32];
        std::snprintf(name, sizeof name, "/%08lx.%d", hash, seen[hash]++);
        const Bio out(BIO_new_file((path + name).c_str(), "w"), &BIO_free);
        const bool written = out && PEM_write_bio_X509(out.get(), certificate) == 1;
        X509_free(certificate);
        if (!written) {
            return fail("the authority's certificates could not be written to " + path);
        }
        ++count;
    }
    ERR_clear_error();
    if (count == 0) {
        return fail("the authority " + caFile + " holds no PEM certificate");
    }
    store = std::move(folder);
    return path + "/";
}

} // namespace j4
