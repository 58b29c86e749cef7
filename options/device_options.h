#pragma once
// The options both programs take to name devices (j4_flash's targets, the
// station window's slots) and to pin the released file: read by one piece
// of code, so they mean the same and are refused in the same words.

#include "raw_arguments.h"
#include "result.h"
#include "targets.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <string>
#include <vector>

namespace j4::options {

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
    std::vector<runs::TargetName> names(const QCommandLineParser& parser,
                                        const RawArguments& raw) const;
    // The released file's SHA-256, empty when not pinned; refused unless it
    // is 64 hexadecimal digits.
    Result<std::string> pinnedSha256(const QCommandLineParser& parser) const;
};

} // namespace j4::options
