#include "read_only.h"

#include <sys/statvfs.h>

namespace j4::station {

bool rootIsReadOnly() {
    struct statvfs root {};
    return ::statvfs("/", &root) == 0 && (root.f_flag & ST_RDONLY) != 0;
}

} // namespace j4::station
