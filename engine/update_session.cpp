#include "update_session.h"

namespace j4 {
namespace {

UpdateOutcome fromTransfer(const TransferResult& result) {
    switch (result.outcome) {
    case TransferOutcome::Completed:
        return UpdateOutcome::Completed;
    case TransferOutcome::LinkFailed:
        return result.linkError == LinkError::Interrupted ? UpdateOutcome::Interrupted
                                                          : UpdateOutcome::LinkFailed;
    case TransferOutcome::UnexpectedAnswer:
        return UpdateOutcome::UnexpectedAnswer;
    case TransferOutcome::AnswersOutOfStep:
        return UpdateOutcome::AnswersOutOfStep;
    case TransferOutcome::RejectedFourTimes:
        return UpdateOutcome::RejectedFourTimes;
    }
    return UpdateOutcome::LinkFailed;
}

// The link's own words on a failure, after the sentence that says where.
std::string withSystemDetail(std::string detail, const SerialLink& link) {
    if (!link.errorDetail().empty())
        detail += (detail.empty() ? "(" : " (") + link.errorDetail() + ")";
    return detail;
}

std::string portDetail(const UpdateRequest& request) {
    if (request.portNumber && request.device.empty())
        return "No serial port has the number " + std::to_string(*request.portNumber) + ".";
    std::string port = request.device;
    if (!request.portDescription.empty())
        port += " (" + request.portDescription + ")";
    if (request.portNumber)
        return "Port " + std::to_string(*request.portNumber) + ": " + port;
    return "Port: " + port;
}

} // namespace

std::string fileOpenDetail(const std::string& path, const std::string& reason) {
    return path + ": " + reason;
}

UpdateSession::UpdateSession(SerialLink& link, const std::atomic<bool>* stop)
    : link_(link), stop_(stop) {
    link_.watchStopFlag(stop);
}

UpdateReport UpdateSession::run(const UpdateRequest& request, const UpdateListener& listener) {
    const auto started = std::chrono::steady_clock::now();
    UpdateReport report;
    report.startedAt = std::chrono::system_clock::now();
    report.filePath = request.filePath;
    report.device = request.device;
    report.portNumber = request.portNumber;
    report.portDescription = request.portDescription;
    report.adapterSerial = request.adapterSerial;
    const auto finish = [&](UpdateOutcome outcome, std::string text, std::string detail) {
        link_.close();
        report.outcome = outcome;
        report.text = std::move(text);
        report.detail = std::move(detail);
        report.duration = std::chrono::steady_clock::now() - started;
        report.endedAt = std::chrono::system_clock::now();
        return report;
    };
    const auto interrupted = [&] {
        report.linkError = LinkError::Interrupted;
        return finish(UpdateOutcome::Interrupted,
                      linkErrorText(LinkError::Interrupted, link_.answerTimeout()), {});
    };

    UpdateFileReader::Opened file;
    if (!request.decoded) {
        file = UpdateFileReader::open(request.filePath, request.fileKinds, stop_);
        if (stopRequested())
            return interrupted();
        if (!file.file) {
            return finish(UpdateOutcome::FileUnreadable, kFileOpenErrorText,
                          fileOpenDetail(request.filePath, file.reason));
        }
    }

    if (listener.stage)
        listener.stage(UpdateStage::OpeningPort, report.where);
    const LinkError opened =
        request.device.empty() ? LinkError::PortNotFound : link_.open(request.device);
    if (opened == LinkError::Interrupted || stopRequested())
        return interrupted();
    if (opened != LinkError::None) {
        report.linkError = opened;
        return finish(UpdateOutcome::PortFailed, linkErrorText(opened, link_.answerTimeout()),
                      withSystemDetail(portDetail(request), link_));
    }
    link_.flushInput();

    std::shared_ptr<const DecodedFile> decoded = request.decoded;
    if (!decoded) {
        // A refused file never reaches the device: the attempt ends here.
        LoadResult loaded = loadUpdateFile(*file.file);
        file.file.reset();
        if (stopRequested())
            return interrupted();
        if (!loaded.ok())
            return finish(UpdateOutcome::FileRefused, loadErrorText(loaded), request.filePath);
        decoded = std::make_shared<DecodedFile>(
            DecodedFile{std::move(loaded.image), loaded.frames, std::move(loaded.sha256)});
    }
    report.frames = decoded->frames;
    report.fileSha256 = decoded->sha256;

    report.where.totalBytes = decoded->image.size();
    if (listener.stage)
        listener.stage(UpdateStage::Transferring, report.where);
    const TransferResult result = runTransfer(decoded->image, link_, listener.transfer, stop_);
    report.where = result.state;
    report.linkError = result.linkError;
    report.adapterNote = link_.adapterNote();
    std::string detail = transferDetail(result);
    if (result.outcome == TransferOutcome::LinkFailed)
        detail = withSystemDetail(std::move(detail), link_);
    if (!report.adapterNote.empty())
        detail += " " + report.adapterNote;
    return finish(fromTransfer(result), transferText(result, link_.answerTimeout()),
                  std::move(detail));
}

} // namespace j4
