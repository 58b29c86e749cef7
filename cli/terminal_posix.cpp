#include "terminal.h"

#include <QtGlobal>

#include <sys/ioctl.h>
#include <unistd.h>

namespace j4::cli {

int terminalColumns(std::FILE* stream) {
    // The user's own width first, as ls and the other tools take it.
    bool ok = false;
    if (const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok); ok && columns > 0)
        return columns;
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}

} // namespace j4::cli
