#include "release_check.h"

namespace j4::release {

QString systemTrustedKeyFolder() {
    return QStringLiteral("/etc/j4-updater/trusted-keys");
}

} // namespace j4::release
