#pragma once
// What gensio's TLS layer leaves to its user: whether the server's
// certificate names the host we meant, and where the system keeps the
// authorities it trusts. Both are OpenSSL's own answers.

#include <string>

namespace j4 {

// True when the certificate (PEM) is for `host`: a DNS name (wildcards as
// RFC 6125 has them) or an IP address, as OpenSSL's host check matches.
bool certificateIsFor(const std::string& pem, const std::string& host);

// The system's trusted authorities (Debian: ca-certificates), as a folder.
std::string systemTrustStore();

} // namespace j4
