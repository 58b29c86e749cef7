#include "update_file_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace j4 {
namespace {

class PosixFile final : public UpdateFileReader {
public:
    PosixFile(int fd, std::optional<std::uint64_t> size, const std::atomic<bool>* stop)
        : fd_(fd), size_(size), stop_(stop) {}
    ~PosixFile() override { ::close(fd_); }
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
        for (;;) {
            const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
            if (got >= 0)
                return got;
            if (errno != EINTR || (stop_ != nullptr && stop_->load()))
                return -1;
        }
    }

    std::optional<std::uint64_t> size() const override { return size_; }

private:
    int fd_;
    std::optional<std::uint64_t> size_;
    const std::atomic<bool>* stop_;
};

} // namespace

UpdateFileReader::Opened UpdateFileReader::open(const std::string& path, Kinds kinds,
                                                const std::atomic<bool>* stop) {
    if (path == kStandardInput && kinds == Kinds::Any) {
        if (::isatty(STDIN_FILENO))
            return fail(kStandardInputIsTerminal);
        const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return fail(std::strerror(errno));
        struct stat info {};
        std::optional<std::uint64_t> size;
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
            size = static_cast<std::uint64_t>(info.st_size);
        return Opened(std::make_unique<PosixFile>(fd, size, stop));
    }
    // Non-blocking, so that opening a FIFO with no writer returns at once.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fail(std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(std::strerror(error));
    }
    if (S_ISDIR(info.st_mode)) {
        ::close(fd);
        return fail(std::strerror(EISDIR));
    }
    const bool regular = S_ISREG(info.st_mode);
    if (!regular && kinds == Kinds::RegularOnly) {
        ::close(fd);
        return fail("not a regular file");
    }
    int streamFd = fd;
    if (S_ISFIFO(info.st_mode)) {
        // Asked for a stream: wait for its writer, as any reader of a pipe
        // does (a non-blocking open would read "nothing" before it comes). A
        // signal ends the wait once a stop is asked.
        ::close(fd);
        while ((streamFd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)) < 0) {
            if (errno != EINTR || (stop != nullptr && stop->load()))
                return fail(std::strerror(errno));
        }
    } else {
        // From here on reads may wait, as reading a device must.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    std::optional<std::uint64_t> size;
    if (regular)
        size = static_cast<std::uint64_t>(info.st_size);
    return Opened(std::make_unique<PosixFile>(streamFd, size, stop));
}

} // namespace j4
