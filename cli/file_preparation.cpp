#include "file_preparation.h"

#include "release_check.h"

namespace j4::cli {

// Decodes FILE, read once, its signature checked where keys are trusted;
// says why not, once, when it cannot be used.
PreparedFile prepare(const FlashOptions& options, const std::atomic<bool>& stop,
                     const Output& output) {
    PreparedFile prepared = release::prepareReleased(options.station.release, options.file,
                                                     UpdateFileReader::Kinds::Any, &stop);
    expectSha256(prepared, options.expectedSha256);
    if (prepared.ok())
        return prepared;
    // The detail when it says more than the file's name: which signature,
    // which keys.
    if (prepared.refusal == UpdateOutcome::FileUnreadable ||
        (prepared.refusal == UpdateOutcome::FileRefused && !prepared.detail.empty() &&
         prepared.detail != options.file))
        output.error(prepared.detail);
    output.error(prepared.text);
    return prepared;
}

} // namespace j4::cli
