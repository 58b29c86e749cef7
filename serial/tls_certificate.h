#pragma once
// What gensio's TLS layer leaves to its user: whether the server's
// certificate names the host we meant (OpenSSL's answer), where the system
// keeps the authorities it trusts, and what a refused handshake means.

#include "remote_failure.h"

#include <optional>
#include <string>

struct gensio;

namespace j4 {

// What the TLS handshake told of the server's certificate.
struct CertificateCheck {
    std::string host;
    bool passed = false; // trusted, valid, and for `host`
    int error = 0;       // gensio's verdict when it failed
    std::string reason;  // OpenSSL's, when it failed
    bool wrongHost = false;
};

// gensio's verdict on the server's certificate (`error`, OpenSSL's
// `reasons`), with its host name checked here; gensio's error code back.
int checkCertificate(gensio* io, int error, const char* const* reasons, CertificateCheck& check);

// Why a TLS connection that failed with `gensioError` was refused, and the
// detail; nothing when TLS had no part in it (refused, unknown host, no
// answer).
struct TlsRefusal {
    RemoteFailure failure;
    std::string detail;
};
std::optional<TlsRefusal> tlsRefusal(const CertificateCheck& check, int gensioError,
                                     bool clientCertGiven);

// True when the certificate (PEM) is for `host`: a DNS name (wildcards as
// RFC 6125 has them) or an IP address, as OpenSSL's host check matches.
bool certificateIsFor(const std::string& pem, const std::string& host);

// The system's trusted authorities (Debian: ca-certificates), as a folder.
std::string systemTrustStore();

} // namespace j4
