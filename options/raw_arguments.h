#pragma once
// A program's arguments as bytes: the parser works on text, and a device's
// path is bytes that need not be UTF-8.

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace j4::options {

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

// The line a program says on a usage error, "PROGRAM: REASON" and how to
// learn more.
std::string usageError(const std::string& program, const std::string& reason);

} // namespace j4::options
