#include "tls_files.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace j4::plant {
namespace {

namespace fs = std::filesystem;

Result<std::string> readFile(const std::string& path, const std::string& what) {
    std::error_code error;
    if (fs::is_directory(path, error))
        return fail("the TLS " + what + " " + path + " is a folder");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail("the TLS " + what + " " + path + " cannot be read (missing, or not " +
                    "readable by this user)");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string day(time_t when) {
    char text[16] = "";
    std::tm parts{};
    gmtime_r(&when, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

gnutls_datum_t datum(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
            static_cast<unsigned>(text.size())};
}

// The server's own certificate, the first in the file: current.
Result<Done> checkCertificate(const std::string& pem, const std::string& path, time_t now) {
    gnutls_x509_crt_t* list = nullptr;
    unsigned count = 0;
    const gnutls_datum_t text = datum(pem);
    if (gnutls_x509_crt_list_import2(&list, &count, &text, GNUTLS_X509_FMT_PEM, 0) < 0 ||
        count == 0)
        return fail("the TLS certificate " + path + " holds no certificate in PEM form");
    const time_t from = gnutls_x509_crt_get_activation_time(list[0]);
    const time_t until = gnutls_x509_crt_get_expiration_time(list[0]);
    for (unsigned i = 0; i < count; ++i)
        gnutls_x509_crt_deinit(list[i]);
    gnutls_free(list);
    if (until < now)
        return fail("the TLS certificate " + path + " expired on " + day(until) +
                    ": give serve a renewed one");
    if (from > now)
        return fail("the TLS certificate " + path + " is not valid before " + day(from) +
                    " (or this machine's clock is wrong)");
    return Done{};
}

Result<Done> checkKey(const std::string& pem, const std::string& path) {
    std::error_code error;
    const auto permissions = fs::status(path, error).permissions();
    if ((permissions & fs::perms::others_read) != fs::perms::none)
        return fail("the TLS key " + path + " may be read by other users: chmod o-r " + path);
    if (pem.find("ENCRYPTED") != std::string::npos)
        return fail("the TLS key " + path +
                    " is protected by a passphrase, which a service cannot type: keep it "
                    "without one, readable by the server's user only (openssl pkey -in " +
                    path + " -out NEW.key)");
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_privkey_init(&key);
    const gnutls_datum_t text = datum(pem);
    const int imported =
        gnutls_x509_privkey_import2(key, &text, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN);
    gnutls_x509_privkey_deinit(key);
    if (imported < 0)
        return fail("the TLS key " + path + " holds no private key in PEM form");
    return Done{};
}

Result<Done> checkPair(const std::string& cert, const std::string& key, const std::string& certPath,
                       const std::string& keyPath) {
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_certificate_allocate_credentials(&credentials);
    const gnutls_datum_t certText = datum(cert);
    const gnutls_datum_t keyText = datum(key);
    const int set =
        gnutls_certificate_set_x509_key_mem(credentials, &certText, &keyText, GNUTLS_X509_FMT_PEM);
    gnutls_certificate_free_credentials(credentials);
    if (set == GNUTLS_E_CERTIFICATE_KEY_MISMATCH)
        return fail("the TLS key " + keyPath + " is not the key of the certificate " + certPath);
    if (set < 0)
        return fail("the TLS certificate " + certPath + " and key " + keyPath +
                    " cannot be used together: " + gnutls_strerror(set));
    return Done{};
}

} // namespace

Result<TlsPair> readTlsFiles(const std::string& certPath, const std::string& keyPath,
                             std::chrono::system_clock::time_point now) {
    auto cert = readFile(certPath, "certificate");
    if (!cert)
        return fail(cert.error());
    auto key = readFile(keyPath, "key");
    if (!key)
        return fail(key.error());
    if (auto usable = checkCertificate(*cert, certPath, std::chrono::system_clock::to_time_t(now));
        !usable)
        return fail(usable.error());
    if (auto usable = checkKey(*key, keyPath); !usable)
        return fail(usable.error());
    if (auto usable = checkPair(*cert, *key, certPath, keyPath); !usable)
        return fail(usable.error());
    return TlsPair{std::move(*cert), std::move(*key)};
}

} // namespace j4::plant
