#pragma once
// The link that fits a device name: a remote port (rfc2217://HOST:PORT, or
// over TLS rfc2217s://HOST:PORT) or a local one.

#include "serial_link.h"
#include "tls_settings.h"

#include <memory>
#include <string>

namespace j4 {

// `tls` applies to a port over TLS.
std::unique_ptr<SerialLink> makeLink(const std::string& device,
                                     std::chrono::milliseconds answerTimeout,
                                     const TlsSettings& tls);

// The same device named twice (a symbolic link and its target, or two port
// numbers) compares equal by this key.
std::string deviceKey(const std::string& device);

} // namespace j4
