#pragma once
// The texts of j4_flash's help around its options.

namespace j4::cli {

// The lines after the usage line: the other forms, then what it does.
extern const char kFlashDescription[];
// After the options: exit statuses, environment, files, examples.
extern const char kFlashEpilogue[];

} // namespace j4::cli
