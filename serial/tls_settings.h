#pragma once
// The TLS files for remote ports over TLS (rfc2217s://): the same for every
// such port of a run.

#include <string>

namespace j4 {

struct TlsSettings {
    std::string caFile;   // the server's authority; empty: the system's trust store
    std::string certFile; // the client's certificate, for servers that ask for one
    std::string keyFile;  // its key (empty: in the certificate's file)

    // J4_TLS_CA, J4_TLS_CERT and J4_TLS_KEY (their bytes).
    static TlsSettings fromEnvironment();
};

} // namespace j4
