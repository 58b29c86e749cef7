#include "update_file_reader.h"

#include "windows_text.h"

#include <string>

namespace j4 {
namespace {

std::string systemText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0) {
        text = narrow(buffer, static_cast<int>(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
            text.pop_back();
    }
    LocalFree(buffer);
    return text.empty() ? "error " + std::to_string(error) : text;
}

class WinFile final : public UpdateFileReader {
public:
    WinFile(HANDLE file, std::optional<std::uint64_t> size) : file_(file), size_(size) {}
    ~WinFile() override { CloseHandle(file_); }
    WinFile(const WinFile&) = delete;
    WinFile& operator=(const WinFile&) = delete;

    std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
        DWORD got = 0;
        if (!ReadFile(file_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
        return static_cast<std::ptrdiff_t>(got);
    }

    std::optional<std::uint64_t> size() const override { return size_; }

private:
    HANDLE file_;
    std::optional<std::uint64_t> size_;
};

} // namespace

UpdateFileReader::Opened UpdateFileReader::open(const std::string& path, Kinds kinds,
                                                const std::atomic<bool>*) {
    if (path == kStandardInput && kinds == Kinds::Any) {
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        if (GetFileType(input) == FILE_TYPE_CHAR)
            return fail(kStandardInputIsTerminal);
        HANDLE own = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &own, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return fail(systemText(GetLastError()));
        return Opened(std::make_unique<WinFile>(own, std::nullopt));
    }
    const HANDLE file =
        CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return fail(systemText(GetLastError()));
    const bool regular = GetFileType(file) == FILE_TYPE_DISK;
    if (!regular && kinds == Kinds::RegularOnly) {
        CloseHandle(file);
        return fail("not a regular file");
    }
    std::optional<std::uint64_t> size;
    LARGE_INTEGER bytes{};
    if (regular && GetFileSizeEx(file, &bytes))
        size = static_cast<std::uint64_t>(bytes.QuadPart);
    return Opened(std::make_unique<WinFile>(file, size));
}

} // namespace j4
