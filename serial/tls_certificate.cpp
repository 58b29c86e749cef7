#include "tls_certificate.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
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

int checkCertificate(gensio* io, int error, const char* const* reasons, CertificateCheck& check) {
    if (error != 0) {
        check.error = error;
        check.reason = reasons != nullptr && reasons[0] != nullptr ? reasons[0] : "";
        return error;
    }
    std::string pem(16384, '\0');
    gensiods length = pem.size() - 1;
    if (gensio_control(io, GENSIO_CONTROL_DEPTH_FIRST, true, GENSIO_CONTROL_CERT, pem.data(),
                       &length) != 0 ||
        !certificateIsFor(pem.substr(0, std::min<std::size_t>(length, pem.size())), check.host)) {
        check.wrongHost = true;
        return GE_CERTINVALID;
    }
    check.passed = true;
    return 0;
}

std::optional<TlsRefusal> tlsRefusal(const CertificateCheck& check, int gensioError,
                                     bool clientCertGiven) {
    if (check.wrongHost)
        return TlsRefusal{RemoteFailure::TlsWrongHost,
                          "its certificate does not name " + check.host};
    if (check.error != 0) {
        std::string detail = check.reason.empty() ? gensio_err_to_str(check.error) : check.reason;
        if (check.error == GE_CERTEXPIRED)
            return TlsRefusal{RemoteFailure::TlsExpired, std::move(detail)};
        // gensio has no code of its own for it: OpenSSL's reason tells.
        if (check.reason.find("not yet valid") != std::string::npos)
            return TlsRefusal{RemoteFailure::TlsNotYetValid, std::move(detail)};
        return TlsRefusal{RemoteFailure::TlsUntrusted, std::move(detail)};
    }
    if (gensioError == GE_INTERRUPTED || remoteFailureOf(gensioError) != RemoteFailure::ServerLost)
        return std::nullopt; // refused, unknown host, no answer: not TLS's doing
    // The server had shown a good certificate and then hung up: it judged
    // the client, whose certificate it asks for.
    const RemoteFailure failure = !check.passed     ? RemoteFailure::TlsFailed
                                  : clientCertGiven ? RemoteFailure::TlsClientCertRefused
                                                    : RemoteFailure::TlsClientCertMissing;
    return TlsRefusal{failure, gensio_err_to_str(gensioError)};
}

} // namespace j4
