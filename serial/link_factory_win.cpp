#include "link_factory.h"

#include "com_port_link.h"

#include <algorithm>
#include <cctype>

namespace j4 {

std::unique_ptr<SerialLink> makeLink(const std::string&, std::chrono::milliseconds answerTimeout,
                                     const TlsSettings&) {
    return std::make_unique<ComPortLink>(answerTimeout);
}

std::string deviceKey(const std::string& device) {
    // COM names are case-blind, with or without the \\.\ prefix.
    std::string key = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return key;
}

} // namespace j4
