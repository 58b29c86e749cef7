#include "terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace j4::cli {

int terminalColumns(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}

} // namespace j4::cli
