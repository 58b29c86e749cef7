#pragma once
// The link that fits a device name: a remote port (rfc2217://HOST:PORT) or a
// local one.

#include "serial_link.h"

#include <memory>
#include <string>

namespace j4 {

std::unique_ptr<SerialLink> makeLink(const std::string& device,
                                     std::chrono::milliseconds answerTimeout);

// The same device named twice (a symbolic link and its target, or two port
// numbers) compares equal by this key.
std::string deviceKey(const std::string& device);

} // namespace j4
