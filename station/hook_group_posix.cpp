#include "hook_group.h"

#include <csignal>
#include <unistd.h>

namespace j4::station {

HookGroup::HookGroup(QProcess& command) : command_(command) {
    command_.setChildProcessModifier([] {
        // Only async-signal-safe calls here: this runs between fork and exec.
        ::setpgid(0, 0);
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    });
}

void HookGroup::started() {
    id_ = command_.processId();
}

void HookGroup::end() {
    // The group outlives its leader while any member runs, and its ID is
    // not given to a new process while the group exists.
    if (id_ > 0)
        ::kill(-static_cast<pid_t>(id_), SIGKILL);
    id_ = 0;
}

ShellCall throughShell(const std::string& command) {
    return {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromStdString(command)}};
}

} // namespace j4::station
