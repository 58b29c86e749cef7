#include "attempt.h"

#include "link_factory.h"

#include <QUuid>

namespace j4::runs {

std::string newAttemptId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

AttemptReport refusedAttempt(const UpdateRequest& request, const PreparedFile& prepared) {
    AttemptReport report;
    report.attempt = newAttemptId();
    report.outcome = prepared.refusal;
    report.text = prepared.text;
    report.detail = prepared.detail;
    report.filePath = request.filePath;
    report.device = request.device;
    report.portNumber = request.portNumber;
    report.portDescription = request.portDescription;
    report.adapterSerial = request.adapterSerial;
    report.startedAt = report.endedAt = std::chrono::system_clock::now();
    return report;
}

AttemptReport tryUpdate(std::size_t device, const UpdateRequest& given, const RunContext& run) {
    UpdateRequest request = given;
    if (!request.decoded && run.release != nullptr && run.release->active()) {
        const PreparedFile prepared =
            run.release->prepare(request.filePath, request.fileKinds, &run.stop);
        if (!prepared.ok())
            return refusedAttempt(request, prepared);
        request.decoded = prepared.decoded;
    }
    const auto link = run.makeLink(request.device);
    UpdateSession session(*link, &run.stop);
    std::chrono::steady_clock::time_point sentAt;
    UpdateListener events;
    events.stage = [&](UpdateStage stage, const TransferState& state) {
        if (stage == UpdateStage::OpeningPort)
            run.listener.opening(device);
        else
            run.listener.started(device, state.totalBytes);
    };
    events.transfer = [&](TransferEvent event, const TransferState& state) {
        if (event == TransferEvent::Sending) {
            sentAt = std::chrono::steady_clock::now();
            run.listener.sending(device, state);
        } else {
            run.listener.answered(device, state, std::chrono::steady_clock::now() - sentAt);
        }
    };
    return AttemptReport(session.run(request, events));
}

void endAttempt(std::size_t device, AttemptReport& report, const RunContext& run) {
    if (report.attempt.empty())
        report.attempt = newAttemptId();
    if (run.log != nullptr)
        if (const auto warning = run.log->append(report))
            run.listener.notice(*warning);
    run.listener.finished(device, report);
}

AttemptReport runAttempt(std::size_t device, const UpdateRequest& request, const RunContext& run) {
    AttemptReport report = tryUpdate(device, request, run);
    endAttempt(device, report, run);
    return report;
}

LinkMaker realLinks(std::chrono::milliseconds timeout, TlsSettings tls) {
    return [timeout, tls = std::move(tls)](const std::string& device) {
        return makeLink(device, timeout, tls);
    };
}

} // namespace j4::runs
