#include "update_log.h"

#include "windows_text.h"

namespace j4 {
Result<Done> appendLine(const std::string& path, const std::string& line) {
    // Opened for appending only: each WriteFile goes to the end of the file
    // as one piece, whoever else appends.
    const HANDLE file = CreateFileW(widen(path).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return fail("cannot open it (error " + std::to_string(GetLastError()) + ")");
    // Appending alone is one step on Windows' own file systems, not on every
    // share or emulation: a lock on the whole range makes it one everywhere.
    OVERLAPPED whole{};
    const BOOL locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    const DWORD error = GetLastError();
    if (locked)
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
    if (!ok)
        return fail("cannot write to it (error " + std::to_string(error) + ")");
    if (written != line.size())
        return fail("only part of the line was written");
    return Done{};
}

} // namespace j4
