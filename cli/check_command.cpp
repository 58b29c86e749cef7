#include "command.h"

#include "exit_status.h"
#include "file_preparation.h"
#include "json_events.h"
#include "run_outlets.h"

#include <cerrno>
#include <cstring>

namespace j4::cli {
namespace {

using namespace runs;

int writeImage(const std::vector<std::uint8_t>& image, const std::string& path,
               const Output& output) {
    const auto fail = [&](int error) {
        output.error("Cannot write " + path + ": " + std::strerror(error));
        return kUsage;
    };
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return fail(errno);
    // A full disk shows only when the buffer is flushed, or at close.
    const bool written =
        std::fwrite(image.data(), 1, image.size(), out) == image.size() && std::fflush(out) == 0;
    const int error = errno;
    if (std::fclose(out) != 0 || !written)
        return fail(written ? errno : error);
    return kCompleted;
}

int check(const FlashOptions& options, const std::atomic<bool>& stop, const Output& output) {
    nlohmann::json event{{"file", options.file}};
    const auto done = [&](int status) {
        event["exit_status"] = status;
        if (output.json() != nullptr)
            output.json()->write("check", event);
        return status;
    };
    const PreparedFile prepared = prepare(options, stop, output);
    if (!prepared.ok()) {
        event["text"] = prepared.text;
        return done(exitStatus(prepared.refusal));
    }
    event.update({{"frames", prepared.decoded->frames},
                  {"bytes", prepared.decoded->image.size()},
                  {"file_sha256", prepared.decoded->sha256}});
    if (const auto& signature = prepared.decoded->signature)
        event.update({{"signature_key_id", signature->keyId},
                      {"release_version", signature->version},
                      {"trusted_comment", signature->trustedComment}});
    if (!options.imageOut.empty()) {
        if (const int status = writeImage(prepared.decoded->image, options.imageOut, output);
            status != kCompleted)
            return done(status);
    }
    std::fprintf(output.out(), "%s: %zu frames, %zu bytes\n", options.file.c_str(),
                 prepared.decoded->frames, prepared.decoded->image.size());
    if (const auto& signature = prepared.decoded->signature) {
        const auto orDash = [](const std::string& text) { return text.empty() ? "-" : text; };
        output.say("signed by key " + signature->keyId + ", version " + orDash(signature->version) +
                   ", expires " + orDash(signature->expires) + ", timestamp " +
                   orDash(signature->timestamp));
    }
    return done(kCompleted);
}

class CheckCommand final : public Command {
public:
    int execute(const CommandRun& run) const override {
        return check(run.options, run.stop, run.output);
    }
};

} // namespace

std::unique_ptr<Command> checkCommand() {
    return std::make_unique<CheckCommand>();
}

} // namespace j4::cli
