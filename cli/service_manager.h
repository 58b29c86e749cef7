#pragma once
// A program run as a systemd service: its lines go to the journal, which
// reads a "<N>" before each as the line's priority (so that journalctl -p
// warning shows what went wrong), and the service manager is told when the
// program is ready and when it stops (Type=notify). Elsewhere, nothing.

#include <cstdio>

namespace j4::cli {

enum class Priority { Error = 3, Warning = 4, Info = 6 };

// Whether `stream` is the journal's, as the service manager connected it.
bool writesToJournal(std::FILE* stream);

// "READY=1", "STOPPING=1", or a "STATUS=..." line for the service manager;
// nothing when not run by one.
void tellServiceManager(const char* state);

} // namespace j4::cli
