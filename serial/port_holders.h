#pragma once
// Which other programs have a device open. A port another program reads
// without a lock (cat, a terminal program) takes the answers; where the
// system can tell, the operator is told who holds it.

#include <QString>

#include <string>

namespace j4::platform {

// "cat (PID 1234), minicom (PID 99)"; empty when none, or when it cannot be told.
std::string otherHolders(const QString& device);

} // namespace j4::platform
