#pragma once
// What j4_flash says once the work is done: one device's result, the
// summary of several, the list of ports.

#include "attempt_report.h"
#include "output.h"
#include "targets.h"

#include <vector>

namespace j4::cli {

// One device: its result as the last line, as scripts expect; a failure's
// detail just before it. Returns the exit status.
int reportOne(const runs::AttemptReport& report, const Output& output);

// Several devices: a summary on standard output; the status of the first
// that failed, in the order given.
int summarize(const std::vector<runs::Target>& targets,
              const std::vector<runs::AttemptReport>& reports, const Output& output);

// Lines of the ports files that were ignored, said once.
void sayPortsFileProblems(const Output& output);

// --list-ports, or with `portsFile` a ports file for the adapters present.
int listPorts(bool portsFile, const Output& output);

} // namespace j4::cli
