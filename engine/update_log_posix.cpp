#include "update_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace j4 {

std::string appendLine(const std::string& path, const std::string& line) {
    // O_APPEND: the system moves to the end and writes in one step.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::strerror(errno);
    const ssize_t written = ::write(fd, line.data(), line.size());
    const int error = errno;
    ::close(fd);
    if (written < 0)
        return std::strerror(error);
    if (static_cast<std::size_t>(written) != line.size())
        return "only part of the line was written";
    return {};
}

} // namespace j4
