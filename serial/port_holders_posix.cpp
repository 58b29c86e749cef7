#include "port_holders.h"

namespace j4::platform {

// Without /proc there is no portable way to tell.
std::string otherHolders(const QString&) {
    return {};
}

} // namespace j4::platform
