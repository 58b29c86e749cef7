#pragma once
// The texts of j4_plant's help around its options, which the parser lists
// from their own declarations.

namespace j4::cli::plant {

// The lines after the usage line: the other forms, what it does, its commands.
extern const char kPlantDescription[];
// After the options: exit statuses, environment, files, examples.
extern const char kPlantEpilogue[];

} // namespace j4::cli::plant
