#include "display.h"

namespace j4 {

// Windows always has its desktop.
bool displayNamed() {
    return true;
}

} // namespace j4
