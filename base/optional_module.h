#pragma once
// The programs' modules (remote ports, records) are loaded the first time a
// program needs one, from where the build left it (a build tree's programs
// never take an older installed one), else from where the package put it.

#include "result.h"

#include <QtGlobal>

#include <initializer_list>
#include <string>

namespace j4 {

// The entry point `symbol` of the first module in `paths` that loads, which
// stays loaded; or the last one's reason (the installed one's) for the
// operator.
Result<QFunctionPointer> moduleEntry(std::initializer_list<const char*> paths, const char* symbol);

} // namespace j4
