#include "scan_source.h"

#include <cerrno>
#include <cstring>

namespace j4::station {

// A file, a named pipe or a COM port at the settings Windows keeps for it
// (Device Manager's), read as a stream.
Result<std::FILE*> openScanPath(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return fail(path + " cannot be opened for the scans: " + std::strerror(errno));
    return file;
}

} // namespace j4::station
