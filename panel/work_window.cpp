#include "work_window.h"

namespace j4 {

void WorkWindow::shutDown(int exitCode) {
    if (!working()) {
        emit exitRequested(exitCode);
        return;
    }
    exitWhenIdle_ = exitCode;
    stopWork();
}

bool WorkWindow::workEnded() {
    if (!exitWhenIdle_)
        return false;
    emit exitRequested(*exitWhenIdle_);
    return true;
}

} // namespace j4
