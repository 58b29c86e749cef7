#include "service_manager.h"

namespace j4::cli {

// Windows has no journal nor systemd: a service there is told nothing.
bool writesToJournal(std::FILE*) {
    return false;
}

void tellServiceManager(const char*) {}

} // namespace j4::cli
