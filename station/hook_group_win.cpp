#include "hook_group.h"

#include <windows.h>

namespace j4::station {

HookGroup::HookGroup(QProcess& command) : command_(command) {
    command_.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* arguments) {
        // Qt has filled in the forwarded channels; standard output is moved
        // onto standard error.
        arguments->startupInfo->dwFlags |= STARTF_USESTDHANDLES;
        arguments->startupInfo->hStdOutput = ::GetStdHandle(STD_ERROR_HANDLE);
    });
    // A job whose processes all end when its last handle closes: the
    // command's children join it as they are made.
    job_ = ::CreateJobObjectW(nullptr, nullptr);
    if (job_) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        ::SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
}

void HookGroup::started() {
    id_ = command_.processId();
    if (!job_ || id_ <= 0)
        return;
    if (HANDLE process = ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(id_))) {
        ::AssignProcessToJobObject(job_, process);
        ::CloseHandle(process);
    }
}

void HookGroup::end() {
    if (job_)
        ::CloseHandle(job_);
    job_ = nullptr;
    id_ = 0;
}

ShellCall throughShell(const std::string& command) {
    return {QStringLiteral("cmd.exe"), {QStringLiteral("/c"), QString::fromStdString(command)}};
}

} // namespace j4::station
