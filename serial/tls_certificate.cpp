#include "tls_certificate.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace j4 {

bool certificateIsFor(const std::string& pem, const std::string& host) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    if (!bio)
        return false;
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
    if (!certificate)
        return false;
    // An address is matched against the certificate's addresses only.
    if (X509_check_ip_asc(certificate.get(), host.c_str(), 0) == 1)
        return true;
    // Names in subjectAltName only: a CN that looks like a host name is no
    // promise of one, and clients stopped trusting it long ago.
    return X509_check_host(certificate.get(), host.c_str(), host.size(),
                           X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS |
                               X509_CHECK_FLAG_NEVER_CHECK_SUBJECT,
                           nullptr) == 1;
}

std::string systemTrustStore() {
    // The hashed folder, not the one-file bundle: gensio 2.6.2 crashes while
    // setting up with Debian's 140-certificate bundle.
    return std::string(X509_get_default_cert_dir()) + "/";
}

} // namespace j4
