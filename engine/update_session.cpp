#include "update_session.h"

#include <algorithm>
#include <cctype>

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
    case TransferOutcome::Withheld:
        return UpdateOutcome::Withheld;
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

namespace {

PreparedFile refused(UpdateOutcome outcome, std::string text, std::string detail) {
    return {nullptr, outcome, std::move(text), std::move(detail)};
}

PreparedFile interruptedFile() {
    return refused(UpdateOutcome::Interrupted, linkErrorText(LinkError::Interrupted, {}), {});
}

// Decodes a file already opened; a refused file never reaches a device.
PreparedFile prepareOpened(UpdateFileReader& file, const std::string& path,
                           const std::atomic<bool>* stop, FileCheck* check = nullptr) {
    ByteObserver observer;
    if (check != nullptr)
        observer = [check](std::span<const std::uint8_t> chunk) { check->take(chunk); };
    LoadResult loaded = decodeOpenedFile(file, observer);
    if (stop != nullptr && stop->load())
        return interruptedFile();
    auto decoded = std::make_shared<DecodedFile>(
        DecodedFile{std::move(loaded.image), loaded.frames, std::move(loaded.sha256), {}});
    if (check != nullptr)
        if (auto passed = check->judge(*decoded); !passed)
            return refused(UpdateOutcome::FileRefused, passed.error().text, passed.error().detail);
    if (!loaded.ok())
        return refused(UpdateOutcome::FileRefused, loadErrorText(loaded), path);
    return {std::move(decoded), UpdateOutcome::Completed, {}, {}};
}

PreparedFile unreadable(const std::string& path, const std::string& reason) {
    return refused(UpdateOutcome::FileUnreadable, kFileOpenErrorText, fileOpenDetail(path, reason));
}

} // namespace

PreparedFile prepareUpdateFile(const std::string& path, UpdateFileReader::Kinds kinds,
                               const std::atomic<bool>* stop, FileCheck* check) {
    const UpdateFileReader::Opened opened = UpdateFileReader::open(path, kinds, stop);
    if (stop != nullptr && stop->load())
        return interruptedFile();
    if (!opened)
        return unreadable(path, opened.error());
    return prepareOpened(**opened, path, stop, check);
}

bool isSha256Hex(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](unsigned char c) { return std::isxdigit(c) != 0; });
}

void expectSha256(PreparedFile& prepared, const std::string& expectedSha256) {
    if (!prepared.ok() || expectedSha256.empty())
        return;
    std::string expected = expectedSha256;
    std::transform(expected.begin(), expected.end(), expected.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string actual = prepared.decoded->sha256;
    if (actual == expected)
        return;
    prepared.decoded.reset();
    prepared.refusal = UpdateOutcome::FileRefused;
    prepared.text =
        "Update file is not the expected one: its SHA-256 is " + actual + ", expected " + expected;
    prepared.detail = "Nothing was sent.";
}

UpdateSession::UpdateSession(SerialLink& link, const std::atomic<bool>* stop)
    : link_(link), stop_(stop) {
    link_.watchStopFlag(stop);
}

UpdateReport& UpdateSession::finish(UpdateReport& report, UpdateOutcome outcome, std::string text,
                                    std::string detail) {
    link_.close();
    report.outcome = outcome;
    report.text = std::move(text);
    report.detail = std::move(detail);
    report.duration = std::chrono::steady_clock::now() - started_;
    report.endedAt = std::chrono::system_clock::now();
    return report;
}

UpdateReport& UpdateSession::interrupted(UpdateReport& report) {
    report.linkError = LinkError::Interrupted;
    return finish(report, UpdateOutcome::Interrupted,
                  linkErrorText(LinkError::Interrupted, link_.answerTimeout()), {});
}

bool UpdateSession::openPort(const UpdateRequest& request, UpdateReport& report) {
    const LinkError opened =
        request.device.empty() ? LinkError::PortNotFound : link_.open(request.device);
    // A port that failed to open failed, whatever stop came meanwhile: the
    // operator must hear why, and nothing was cut.
    if (opened == LinkError::Interrupted || (opened == LinkError::None && stopRequested())) {
        interrupted(report);
        return false;
    }
    if (opened != LinkError::None) {
        report.linkError = opened;
        finish(report, UpdateOutcome::PortFailed, link_.errorText(opened),
               withSystemDetail(portDetail(request), link_));
        return false;
    }
    link_.flushInput();
    return true;
}

void UpdateSession::transfer(const DecodedFile& decoded, const UpdateRequest& request,
                             const UpdateListener& listener, UpdateReport& report) {
    report.frames = decoded.frames;
    report.fileSha256 = decoded.sha256;
    report.signature = decoded.signature;
    report.transfer.totalBytes = decoded.image.size();
    if (listener.stage)
        listener.stage(UpdateStage::Transferring, report.transfer);
    const TransferResult result =
        runTransfer(decoded.image, link_, listener.transfer, stop_, request.beforeLastFrame);
    report.transfer = result.state;
    report.linkError = result.linkError;
    report.adapterNote = link_.adapterNote();
    std::string detail = transferDetail(result);
    if (result.outcome == TransferOutcome::LinkFailed)
        detail = withSystemDetail(std::move(detail), link_);
    if (!report.adapterNote.empty())
        detail += " " + report.adapterNote;
    finish(report, fromTransfer(result), transferText(result, link_), std::move(detail));
}

UpdateReport UpdateSession::run(const UpdateRequest& request, const UpdateListener& listener) {
    started_ = std::chrono::steady_clock::now();
    UpdateReport report;
    report.startedAt = std::chrono::system_clock::now();
    report.filePath = request.filePath;
    if (request.decoded)
        report.signature = request.decoded->signature;
    report.device = request.device;
    report.portNumber = request.portNumber;
    report.portDescription = request.portDescription;
    report.adapterSerial = request.adapterSerial;

    // Port first, unless the file came decoded: see the header.
    std::unique_ptr<UpdateFileReader> file;
    if (!request.decoded) {
        auto opened = UpdateFileReader::open(request.filePath, request.fileKinds, stop_);
        if (stopRequested())
            return interrupted(report);
        if (!opened) {
            const PreparedFile refusal = unreadable(request.filePath, opened.error());
            return finish(report, refusal.refusal, refusal.text, refusal.detail);
        }
        file = std::move(*opened);
    }
    if (listener.stage)
        listener.stage(UpdateStage::OpeningPort, report.transfer);
    if (!openPort(request, report))
        return report;
    std::shared_ptr<const DecodedFile> decoded = request.decoded;
    if (!decoded) {
        PreparedFile prepared = prepareOpened(*file, request.filePath, stop_);
        file.reset();
        if (!prepared.ok())
            return prepared.refusal == UpdateOutcome::Interrupted
                       ? interrupted(report)
                       : finish(report, prepared.refusal, prepared.text, prepared.detail);
        decoded = std::move(prepared.decoded);
    }
    transfer(*decoded, request, listener, report);
    return report;
}

} // namespace j4
