#include "interrupts.h"

#include <windows.h>

namespace j4::cli {
namespace {

std::atomic<bool> stopRequested{false};

// Ctrl+C, Ctrl+Break and closing the console window. Returning TRUE keeps
// the process alive until the transfers have stopped at a frame boundary;
// on a console close Windows allows a few seconds for that.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        stopRequested = true;
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

const std::atomic<bool>& installInterruptHandlers() {
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    return stopRequested;
}

} // namespace j4::cli
