#include "prometheus_text.h"

#include <QString>

namespace j4 {

std::string quotedLabel(const std::string& value) {
    std::string out = "\"";
    for (const char c : QString::fromUtf8(value.data(), qsizetype(value.size())).toStdString()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

} // namespace j4
