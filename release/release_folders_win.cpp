#include "release_check.h"

namespace j4::release {

QString systemTrustedKeyFolder() {
    return qEnvironmentVariable("ProgramData", QStringLiteral("C:/ProgramData")) +
           QStringLiteral("/j4-updater/trusted-keys");
}

} // namespace j4::release
