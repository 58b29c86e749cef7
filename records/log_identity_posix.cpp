#include "log_identity.h"

#include <sys/stat.h>

namespace j4::records {

FileIdentity identityOf(QFile& log) {
    struct stat status {};
    if (::fstat(log.handle(), &status) != 0)
        return {};
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

} // namespace j4::records
