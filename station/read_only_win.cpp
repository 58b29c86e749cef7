#include "read_only.h"

namespace j4::station {

// Windows services have no read-only root to sandbox them.
bool rootIsReadOnly() {
    return false;
}

} // namespace j4::station
