#include "result_hook.h"

#include "exit_status.h"
#include "hook_group.h"

#include <QProcess>
#include <QProcessEnvironment>

namespace j4::station {

namespace {

QProcessEnvironment environmentFor(const runs::AttemptReport& report) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto set = [&](const char* name, const std::string& value) {
        environment.insert(QString::fromLatin1(name), QString::fromStdString(value));
    };
    set("J4_RESULT", ResultHook::resultName(report));
    set("J4_EXIT", std::to_string(runs::exitStatus(report.outcome)));
    set("J4_SLOT", report.slot ? std::to_string(*report.slot) : std::string());
    set("J4_DEVICE", report.device);
    set("J4_ADAPTER_SERIAL", report.adapterSerial);
    set("J4_UNIT", report.unit);
    set("J4_TEXT", report.text);
    set("J4_FILE_SHA256", report.fileSha256);
    set("J4_LINE", report.production.line);
    set("J4_WORK_ORDER", report.production.workOrder);
    set("J4_LOT", report.production.lot);
    set("J4_PART_NUMBER", report.production.partNumber);
    return environment;
}

} // namespace

const char* ResultHook::resultName(const runs::AttemptReport& report) {
    if (report.completed())
        return "completed";
    return report.outcome == UpdateOutcome::Interrupted ? "interrupted" : "failed";
}

ResultHook::~ResultHook() {
    const std::lock_guard lock(mutex_);
    running_.clear(); // each command waited for
}

void ResultHook::run(const runs::AttemptReport& report, runs::DeviceListener& listener) {
    const std::lock_guard lock(mutex_);
    // Those that have ended are let go as new ones start: a shift's worth
    // of attempts leaves no pile of threads.
    running_.remove_if([](Running& command) {
        if (!*command.done)
            return false;
        command.thread.wait();
        return true;
    });
    Running& started = running_.emplace_back();
    started.thread = WorkerThread([this, report, &listener, done = started.done] {
        runNow(report, listener);
        *done = true;
    });
}

void ResultHook::runNow(const runs::AttemptReport& report, runs::DeviceListener& listener) {
    QProcess command;
    command.setProcessEnvironment(environmentFor(report));
    command.setProcessChannelMode(QProcess::ForwardedChannels);
    command.setStandardInputFile(QProcess::nullDevice());
    HookGroup group(command);
    const ShellCall shell = throughShell(command_);
    command.start(shell.program, shell.arguments);
    std::string failure;
    if (!command.waitForStarted(int(bound_.count()))) {
        failure = "cannot be started (" + command.errorString().toStdString() + ")";
    } else {
        group.started();
        if (!command.waitForFinished(int(bound_.count()))) {
            group.end();
            command.waitForFinished(5000);
            failure = "ran longer than " +
                      (bound_.count() % 1000 == 0 ? std::to_string(bound_.count() / 1000) + " s"
                                                  : std::to_string(bound_.count()) + " ms") +
                      " and was ended";
        } else if (command.exitStatus() != QProcess::NormalExit || command.exitCode() != 0) {
            failure = command.exitStatus() != QProcess::NormalExit
                          ? std::string("crashed")
                          : "exited with status " + std::to_string(command.exitCode());
        }
    }
    if (!failure.empty() && !failureSaid_.exchange(true))
        listener.notice("The result command " + command_ + " " + failure +
                        "; the station goes on, and the attempts' results stand.");
}

} // namespace j4::station
