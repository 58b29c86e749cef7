#include "raw_arguments.h"

namespace j4::options {

QStringList RawArguments::decoded() const {
    QStringList list;
    for (const std::string& argument : raw_)
        list << QString::fromLocal8Bit(argument);
    return list;
}

std::string RawArguments::bytesOf(const QString& value) const {
    for (const std::string& argument : raw_) {
        if (QString::fromLocal8Bit(argument) == value)
            return argument;
        const auto eq = argument.find('=');
        if (argument.starts_with("--") && eq != std::string::npos &&
            QString::fromLocal8Bit(argument.substr(eq + 1)) == value)
            return argument.substr(eq + 1);
    }
    return value.toStdString();
}

RawArguments RawArguments::withFirst(const std::vector<std::string>& more) const {
    std::vector<std::string> merged(raw_.begin(), raw_.begin() + (raw_.empty() ? 0 : 1));
    merged.insert(merged.end(), more.begin(), more.end());
    if (!raw_.empty())
        merged.insert(merged.end(), raw_.begin() + 1, raw_.end());
    return RawArguments(std::move(merged));
}

std::string usageError(const std::string& program, const std::string& reason) {
    return program + ": " + reason + "\n(try --help)\n";
}

} // namespace j4::options
