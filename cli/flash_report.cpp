#include "flash_report.h"

#include "json_events.h"

#include "exit_status.h"
#include "port_names.h"

#include <QRegularExpression>

#include <algorithm>

namespace j4::cli {

using namespace runs;

int reportOne(const runs::AttemptReport& report, const Output& output) {
    if (report.completed()) {
        output.say(report.text);
        return kCompleted;
    }
    if (!report.detail.empty())
        output.error(report.detail);
    output.error(report.text);
    return exitStatus(report.outcome);
}

int summarize(const std::vector<runs::Target>& targets,
              const std::vector<runs::AttemptReport>& reports, const Output& output) {
    output.say("Summary:");
    int status = kCompleted;
    std::string failed;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const runs::AttemptReport& r = reports[i];
        const std::string number =
            r.portNumber ? "port " + std::to_string(*r.portNumber) : std::string("-");
        // A device whose port never opened was sent nothing: no byte count.
        const std::string bytes = r.transfer.totalBytes == 0
                                      ? std::string("nothing sent")
                                      : std::to_string(r.transfer.acceptedBytes) + " of " +
                                            std::to_string(r.transfer.totalBytes) + " bytes";
        std::fprintf(output.out(), "  %-8s %s  %s  %s  %.1f s\n", number.c_str(), r.device.c_str(),
                     r.text.c_str(), bytes.c_str(),
                     std::chrono::duration<double>(r.duration).count());
        if (r.completed())
            continue;
        if (!r.detail.empty())
            std::fprintf(output.out(), "           %s\n", r.detail.c_str());
        failed += (failed.empty() ? "" : ", ") + targets[i].label;
        if (status == kCompleted)
            status = exitStatus(r.outcome);
    }
    const std::size_t failures = static_cast<std::size_t>(std::count_if(
        reports.begin(), reports.end(), [](const auto& r) { return !r.completed(); }));
    if (failures == 0)
        output.say("All " + std::to_string(reports.size()) + " devices completed.");
    else
        output.say(std::to_string(failures) + " of " + std::to_string(reports.size()) +
                   " devices failed: " + failed);
    return status;
}

void sayPortsFileProblems(const Output& output) {
    if (!qEnvironmentVariableIsEmpty("J4_PORTS"))
        return;
    for (const QString& problem : readPortsFiles().problems)
        output.error(problem.toStdString());
}

int listPorts(bool portsFile, const Output& output) {
    sayPortsFileProblems(output);
    if (portsFile) {
        const QString text = portsFileForPresentAdapters();
        // Redirected over a good ports file, an empty one would unpin every
        // number: said, and a failure for the shell's && to see.
        if (!text.contains(
                QRegularExpression(QStringLiteral("^\\d"), QRegularExpression::MultilineOption))) {
            output.error("No adapter with a USB socket name (/dev/serial/by-path) is plugged in: "
                         "there is nothing to pin, and no ports file is written.");
            return kPortFailed;
        }
        std::fputs(qPrintable(text), output.out());
        return kCompleted;
    }
    const auto ports = j4::listPorts();
    if (ports.empty())
        output.say("No serial ports found.");
    for (const auto& port : ports) {
        const char* source = port.source == PortDescription::Source::PortsFile     ? "ports file"
                             : port.source == PortDescription::Source::Environment ? "J4_PORTS"
                                                                                   : "system list";
        std::fprintf(output.out(), "%3d  %s  [%s]\n", port.number, qPrintable(port.text()), source);
        if (output.json() != nullptr)
            output.json()->write("port", {{"number", port.number},
                                          {"device", port.device.toStdString()},
                                          {"description", port.description.toStdString()},
                                          {"serial", port.serialNumber.toStdString()},
                                          {"by_id", port.byId.toStdString()},
                                          {"by_path", port.byPath.toStdString()},
                                          {"source", source}});
        for (const auto& [kind, name] : {std::pair{"by-id", &port.byId}, {"by-path", &port.byPath}})
            if (!name->isEmpty())
                std::fprintf(output.out(), "       %-8s %s\n", kind, qPrintable(*name));
    }
    if (output.json() != nullptr)
        output.json()->write("summary", {{"exit_status", kCompleted}, {"ports", ports.size()}});
    return kCompleted;
}

} // namespace j4::cli
