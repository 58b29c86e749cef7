#include "terminal.h"

#include <windows.h>

namespace j4::cli {

int terminalColumns(std::FILE*) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 80;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

} // namespace j4::cli
