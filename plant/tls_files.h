#pragma once
// The certificate and key j4_plant serve offers, read and checked before it
// says it serves: each problem named (unreadable, not PEM, a key others may
// read, a key behind a passphrase that a service cannot type, a certificate
// expired or not yet valid, a key that is not the certificate's).

#include "http_server.h"
#include "result.h"

#include <chrono>
#include <string>

namespace j4::plant {

Result<TlsPair> readTlsFiles(const std::string& certPath, const std::string& keyPath,
                             std::chrono::system_clock::time_point now);

} // namespace j4::plant
