#pragma once
// What a line station keeps in its state folder: the releases it fetched,
// each beside its signature, and the last assignment it verified, which it
// falls back on when the plant's database is out of reach at its start.

#include "line_database.h"

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace j4::plant {

class StateFolder {
public:
    explicit StateFolder(std::filesystem::path path) : path_(std::move(path)) {}

    const std::filesystem::path& path() const { return path_; }
    // Where the release of this SHA-256 is kept; its signature is beside it.
    std::filesystem::path releaseFile(const std::string& sha256) const;
    static std::filesystem::path signatureOf(const std::filesystem::path& release);

    // Written whole or not at all: a station killed meanwhile leaves the
    // previous file, never half of one.
    bool keepRelease(const std::string& sha256, std::span<const std::uint8_t> file,
                     const std::string& signature) const;
    bool keepAssignment(const LineAssignment& assignment) const;
    // The assignment kept last, if any was.
    std::optional<LineAssignment> keptAssignment() const;

private:
    std::filesystem::path path_;
};

} // namespace j4::plant
