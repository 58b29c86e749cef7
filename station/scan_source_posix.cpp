#include "scan_source.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace j4::station {

Result<std::FILE*> openScanPath(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return fail(path + " cannot be opened for the scans: " + std::strerror(errno));
    // A FIFO opened for writing too never reads as ended when the program
    // that writes the scans restarts, and its open does not wait for one.
    const int flags = S_ISFIFO(status.st_mode) ? O_RDWR : O_RDONLY | O_NOCTTY;
    const int descriptor = ::open(path.c_str(), flags | O_CLOEXEC);
    if (descriptor < 0)
        return fail(path + " cannot be opened for the scans: " + std::strerror(errno));
    termios terminal{};
    if (::tcgetattr(descriptor, &terminal) == 0) {
        // A serial scanner: every byte as it comes, CR kept, nothing echoed;
        // 9600 8N1 is their usual setting (a USB scanner ignores the speed).
        ::cfmakeraw(&terminal);
        terminal.c_cflag |= CLOCAL | CREAD;
        terminal.c_cc[VMIN] = 1;
        terminal.c_cc[VTIME] = 0;
        ::cfsetspeed(&terminal, B9600);
        ::tcsetattr(descriptor, TCSANOW, &terminal);
    }
    std::FILE* file = ::fdopen(descriptor, "rb");
    if (file == nullptr) {
        ::close(descriptor);
        return fail(path + " cannot be opened for the scans: " + std::strerror(errno));
    }
    return file;
}

bool waitReadable(std::FILE* file, const std::atomic<bool>& stop) {
    pollfd watched{::fileno(file), POLLIN, 0};
    while (!stop) {
        const int ready = ::poll(&watched, 1, 200);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return true; // a byte, the end, or an error: getc tells which
    }
    return false;
}

} // namespace j4::station
