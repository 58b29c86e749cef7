#include "scan_source.h"

#include <cerrno>
#include <cstring>

#include <io.h>
#include <windows.h>

namespace j4::station {

// A file, a named pipe or a COM port at the settings Windows keeps for it
// (Device Manager's), read as a stream.
Result<std::FILE*> openScanPath(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return fail(path + " cannot be opened for the scans: " + std::strerror(errno));
    return file;
}

// Each kind of handle is asked in its own way whether a byte waits; a disk
// file always has one or its end.
bool waitReadable(std::FILE* file, const std::atomic<bool>& stop) {
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    const DWORD type = ::GetFileType(handle);
    DWORD mode = 0;
    while (!stop) {
        if (type == FILE_TYPE_PIPE) {
            DWORD waiting = 0;
            if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &waiting, nullptr) || waiting > 0)
                return true; // a byte, or the writer gone
        } else if (type == FILE_TYPE_CHAR && ::GetConsoleMode(handle, &mode)) {
            if (::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0)
                return true;
        } else if (type == FILE_TYPE_CHAR) {
            COMSTAT status{};
            DWORD errors = 0;
            if (!::ClearCommError(handle, &errors, &status) || status.cbInQue > 0)
                return true;
        } else {
            return true;
        }
        ::Sleep(100);
    }
    return false;
}

} // namespace j4::station
