#include "service_manager.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <string>

namespace j4::cli {

// The manager says which stream it connected in JOURNAL_STREAM, as
// "device:inode"; a stream the program was given elsewhere (a pipe of its
// own, a file) is not the journal even when the variable was inherited.
bool writesToJournal(std::FILE* stream) {
    const char* told = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (told == nullptr || fstat(fileno(stream), &status) != 0)
        return false;
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) == told;
}

void tellServiceManager(const char* state) {
    sd_notify(0, state);
}

} // namespace j4::cli
