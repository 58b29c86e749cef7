#pragma once
// Prometheus' text format, as a station's metrics file and the plant's
// /metrics both write it.

#include <string>

namespace j4 {

// A label's value as the format quotes it. The format is UTF-8: a value
// that is not (a name in another encoding) would make the whole text
// unreadable to Prometheus, so what is not becomes U+FFFD.
std::string quotedLabel(const std::string& value);

} // namespace j4
