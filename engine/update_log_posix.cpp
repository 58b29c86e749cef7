#include "update_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace j4 {

namespace {

// Standard output or error when the log is that very file (--log /dev/stdout
// > out.json): a second descriptor would write at an offset of its own, and
// the two would overwrite each other's lines. -1 when it is neither.
int standardStreamFor(const struct stat& log) {
    for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat info {};
        if (::fstat(stream, &info) == 0 && info.st_dev == log.st_dev && info.st_ino == log.st_ino)
            return stream;
    }
    return -1;
}

} // namespace

Result<Done> appendLine(const std::string& path, const std::string& line) {
    // O_APPEND: the system moves to the end and writes in one step.
    // O_NONBLOCK: a FIFO without a reader must not hold the program; only a
    // regular file is a log.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0)
        return fail(errno == ENXIO ? "not a regular file" : std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail("not a regular file");
    }
    const int shared = standardStreamFor(info);
    const ssize_t written = ::write(shared >= 0 ? shared : fd, line.data(), line.size());
    const int error = errno;
    ::close(fd);
    if (written < 0)
        return fail(std::strerror(error));
    if (static_cast<std::size_t>(written) != line.size())
        return fail("only part of the line was written");
    return Done{};
}

} // namespace j4
