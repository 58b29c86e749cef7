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
    const int out = shared >= 0 ? shared : fd;
    // A line torn by an earlier short write (a full disk, another program)
    // would glue this record to it, and both would be lost: this one starts
    // on a line of its own.
    std::string whole = line;
    char last = '\n';
    if (shared < 0 && info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 &&
        last != '\n')
        whole.insert(whole.begin(), '\n');
    const ssize_t written = ::write(out, whole.data(), whole.size());
    const int error = errno;
    if (written >= 0 && static_cast<std::size_t>(written) != whole.size() && shared < 0) {
        // Only part of it went in (the disk is full): cut back to where it
        // began, unless another writer has appended since, so that no half
        // line stays.
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        struct stat now {};
        if (end >= written && ::fstat(fd, &now) == 0 && now.st_size == end)
            static_cast<void>(::ftruncate(fd, end - written));
    }
    ::close(fd);
    if (written < 0)
        return fail(std::strerror(error));
    if (static_cast<std::size_t>(written) != whole.size())
        return fail(std::string("only part of the line could be written; the disk may be full"));
    return Done{};
}

} // namespace j4
