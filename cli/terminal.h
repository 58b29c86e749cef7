#pragma once
// The width of the terminal progress is drawn on.

#include <cstdio>

namespace j4::cli {

// Columns of the terminal behind `stream`, read anew on every call (the
// window may be resized at any time); 80 when it cannot be told.
int terminalColumns(std::FILE* stream);

} // namespace j4::cli
