#include "sha256.h"

namespace j4 {

std::string Sha256::hex() {
    const auto bytes = digest();
    if (!bytes)
        return {};
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : *bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

} // namespace j4
