#pragma once
// Remote ports (RFC 2217, TLS) live in a module of their own, loaded the
// first time a program opens one: gensio and OpenSSL, with the Kerberos and
// RPC libraries behind them, would otherwise be loaded by every start of
// every program, most of which never reach a remote port.

#include "serial_link.h"
#include "tls_settings.h"

#include <chrono>
#include <memory>

namespace j4 {

// What the module gives: built by the same compiler from the same sources
// as the program that loads it.
struct RemoteLinkModule {
    std::unique_ptr<SerialLink> (*makeLink)(std::chrono::milliseconds answerTimeout,
                                            const TlsSettings& tls);
};

// A link to a remote port; when the module cannot be loaded, a link whose
// open() says why and what to install.
std::unique_ptr<SerialLink> makeRemoteLink(std::chrono::milliseconds answerTimeout,
                                           const TlsSettings& tls);

} // namespace j4
