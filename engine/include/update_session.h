#pragma once
// One update attempt, start to end, for every front: the file decoded, the
// port opened and flushed, the transfer. The fronts only present the report
// it returns.
//
// Two orders, each chosen for its front:
// - Port first (run() on a request without a decoded file): the file is
//   opened, then the port is opened and flushed, then the file is decoded.
//   The window works this way: an operator who set a port
//   with nothing behind it hears of the port before the file's contents.
// - File first (prepareUpdateFile(), then run() on the decoded file): the
//   command line decodes once for every device, before any port is opened:
//   standard input can be read only once, and a refused file must touch no
//   device of a run.

#include "serial_link.h"
#include "transfer.h"
#include "update_file_reader.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace j4 {

// Who released a file: its signature's key and trusted comment, as checked.
struct ReleaseSignature {
    std::string keyId;          // 16 hexadecimal digits, as minisign prints it
    std::string version;        // the trusted comment's version=, if any
    std::string expires;        // its expires=, if any
    std::string timestamp;      // minisign's timestamp:, if any
    std::string trustedComment; // the whole comment, as signed
};

// A file decoded once and sent to several devices: only read, by all.
struct DecodedFile {
    std::vector<std::uint8_t> image;
    std::size_t frames = 0;
    std::string sha256;
    std::optional<ReleaseSignature> signature; // checked over the very bytes decoded
};

struct UpdateRequest {
    std::string filePath;          // UTF-8
    std::string device;            // what to open; empty: no port has that number
    std::optional<int> portNumber; // when the operator gave a number
    std::string portDescription;   // the adapter, where known
    std::string adapterSerial;     // its serial number, where known
    UpdateFileReader::Kinds fileKinds = UpdateFileReader::Kinds::RegularOnly;
    // Already decoded (file first): the attempt opens the port and sends it,
    // and reads no file.
    std::shared_ptr<const DecodedFile> decoded;
    LastFrameGate beforeLastFrame; // none: every frame goes out
};

enum class UpdateOutcome {
    Completed,
    FileUnreadable, // the file cannot be opened
    PortFailed,     // the port cannot be opened
    FileRefused,    // the file is not a valid update; nothing was sent
    LinkFailed,     // the port failed or the device stayed silent mid-transfer
    UnexpectedAnswer,
    AnswersOutOfStep,
    RejectedFourTimes,
    Interrupted, // a stop was asked (signal, shutdown)
    Withheld,    // its caller kept back the last frame (beforeLastFrame said no)
    NotStarted,  // withheld by its caller before any port was opened; the text says why
};
// The last of them, for what lists every outcome (keep it the last).
inline constexpr UpdateOutcome kLastOutcome = UpdateOutcome::NotStarted;

struct UpdateReport {
    std::string
        attempt; // a unique ID, given when the attempt ends (one per attempt, however many tries)
    UpdateOutcome outcome = UpdateOutcome::Completed;
    std::string text;        // the main text: exactly what the operator is shown
    std::string detail;      // which frame, how much was accepted, which device
    std::string adapterNote; // what the adapter does to the answers, when it matters
    LinkError linkError = LinkError::None;
    TransferState transfer; // how far the transfer got
    std::size_t frames = 0;
    std::string fileSha256;
    std::optional<ReleaseSignature> signature;
    std::string filePath;
    std::string device;
    std::optional<int> portNumber;
    std::string portDescription;
    std::string adapterSerial;
    std::chrono::system_clock::time_point startedAt;
    std::chrono::system_clock::time_point endedAt;
    std::chrono::steady_clock::duration duration{};

    bool completed() const { return outcome == UpdateOutcome::Completed; }
};

enum class UpdateStage {
    OpeningPort,  // the file is open; the port is opened next
    Transferring, // the file is decoded; the first frame goes out next
};

struct UpdateListener {
    std::function<void(UpdateStage, const TransferState&)> stage;
    TransferListener transfer;
};

// A file decoded and validated, or why it cannot be sent.
struct PreparedFile {
    std::shared_ptr<const DecodedFile> decoded;       // empty when refused
    UpdateOutcome refusal = UpdateOutcome::Completed; // FileUnreadable, FileRefused, Interrupted
    std::string text;
    std::string detail;

    bool ok() const { return decoded != nullptr; }
    // A file refused before it is read (the rules it must pass cannot be).
    static PreparedFile refused(UpdateOutcome why, std::string text, std::string detail = {}) {
        return {nullptr, why, std::move(text), std::move(detail)};
    }
};

// What else a file must pass, judged over the very bytes decoded (a release
// signature): it sees each chunk as it is read, then judges the whole.
class FileCheck {
public:
    struct Refusal {
        std::string text;
        std::string detail;
    };
    virtual ~FileCheck() = default;
    virtual void take(std::span<const std::uint8_t> chunk) = 0;
    // Judged before the decoding's own verdict; a file it passes may be
    // noted in `decoded` (its signature).
    virtual Result<Done, Refusal> judge(DecodedFile& decoded) = 0;
};

// File first: opens, checks and decodes the file at `path`, read once.
PreparedFile prepareUpdateFile(const std::string& path, UpdateFileReader::Kinds kinds,
                               const std::atomic<bool>* stop = nullptr, FileCheck* check = nullptr);

// The released file pinned: a prepared file whose SHA-256 is not
// `expectedSha256` (hexadecimal, any case) becomes a refusal. An empty
// expectation pins nothing.
void expectSha256(PreparedFile& prepared, const std::string& expectedSha256);

// Whether `text` is a SHA-256 as hexadecimal: 64 digits.
bool isSha256Hex(const std::string& text);

class UpdateSession {
public:
    // Blocking waits in the link and reads of the file end once *stop is set.
    explicit UpdateSession(SerialLink& link, const std::atomic<bool>* stop = nullptr);

    // One attempt. The port is closed again before this returns.
    UpdateReport run(const UpdateRequest& request, const UpdateListener& listener = {});

private:
    bool stopRequested() const { return stop_ != nullptr && stop_->load(); }
    // Opens and flushes the port; false (with the report finished) if it fails.
    bool openPort(const UpdateRequest& request, UpdateReport& report);
    void transfer(const DecodedFile& decoded, const UpdateRequest& request,
                  const UpdateListener& listener, UpdateReport& report);
    UpdateReport& finish(UpdateReport& report, UpdateOutcome outcome, std::string text,
                         std::string detail);
    UpdateReport& interrupted(UpdateReport& report);

    SerialLink& link_;
    const std::atomic<bool>* stop_;
    std::chrono::steady_clock::time_point started_;
};

// The main text shown when the update file cannot be opened.
inline constexpr const char* kFileOpenErrorText = "File open error!";

// "PATH: reason", the detail under "File open error!".
std::string fileOpenDetail(const std::string& path, const std::string& reason);

} // namespace j4
