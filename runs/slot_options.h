#pragma once
// The options both programs take to name devices (j4_flash's targets, the
// station window's slots) and to pin the released file: read by one piece
// of code, so they mean the same and are refused in the same words.

#include "result.h"
#include "targets.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <string>
#include <vector>

namespace j4::runs {

// Names as the caller gave them. The parser works on text, which replaces
// bytes that are not UTF-8; the system needs the bytes.
class RawArguments {
public:
    explicit RawArguments(std::vector<std::string> raw) : raw_(std::move(raw)) {}

    QStringList decoded() const;
    // The bytes of the argument (or an option's "=value") that reads `value`.
    std::string bytesOf(const QString& value) const;
    // The same arguments with `more` after the program's name: a profile's,
    // which those given after it override.
    RawArguments withFirst(const std::vector<std::string>& more) const;

private:
    std::vector<std::string> raw_;
};

struct DeviceOptions {
    QCommandLineOption port{"port", "Send FILE to port number N (1..255).", "N"};
    QCommandLineOption device{"device", "Send FILE to the serial device at PATH.", "PATH"};
    QCommandLineOption serial{"serial", "Send FILE to the USB adapter with serial number SN.",
                              "SN"};
    QCommandLineOption expectSha256{
        "expect-sha256", "Refuse FILE unless its SHA-256 is HEX (the released file).", "HEX"};

    // Whether any of --port, --device and --serial was given.
    bool named(const QCommandLineParser& parser) const;
    // --port, --device and --serial in the order given.
    std::vector<TargetName> names(const QCommandLineParser& parser, const RawArguments& raw) const;
    // The released file's SHA-256, empty when not pinned; refused unless it
    // is 64 hexadecimal digits.
    Result<std::string> pinnedSha256(const QCommandLineParser& parser) const;
};

// The line a program says on a usage error, "PROGRAM: REASON" and how to
// learn more.
std::string usageError(const std::string& program, const std::string& reason);

} // namespace j4::runs
