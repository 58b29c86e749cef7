#pragma once
// A result command and everything it starts, as one group: its standard
// output joins standard error (so it never mixes with --json's events on
// standard output), and whatever of the group is still running when the
// command ends or is ended goes with it, so no child outlives its hook or
// holds the station's output open.

#include <QProcess>

#include <cstdint>
#include <string>

namespace j4::station {

class HookGroup {
public:
    // Before `command` starts.
    explicit HookGroup(QProcess& command);
    ~HookGroup() { end(); }
    HookGroup(const HookGroup&) = delete;
    HookGroup& operator=(const HookGroup&) = delete;

    // Right after the command has started.
    void started();
    // Ends every process still in the group; safe to call more than once.
    void end();

private:
    QProcess& command_;
    std::int64_t id_ = 0; // POSIX: the process group
    void* job_ = nullptr; // Windows: the job object
};

// How `command` is run through the platform's shell: its program, and the
// arguments it is given.
struct ShellCall {
    QString program;
    QStringList arguments;
};
ShellCall throughShell(const std::string& command);

} // namespace j4::station
