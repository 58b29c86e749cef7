// The least a J4 device can be: on a pseudo-terminal linked to argv[1], read
// each frame (two length bytes, then that many) and answer 0x11 at once. The
// baseline the turnaround benchmark measures the host and j4_devsim against.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

static bool readAll(int fd, unsigned char* to, size_t n) {
    while (n > 0) {
        const ssize_t got = read(fd, to, n);
        if (got < 0 && errno == EIO) {
            usleep(1000); // the host has the port closed: wait for it to open again
            continue;
        }
        if (got <= 0)
            return false;
        to += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 1;
    // Raw through the master: the line's settings belong to the pair, and no
    // descriptor of the device side is kept (a port held open is refused).
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    unlink(argv[1]);
    if (symlink(ptsname(master), argv[1]) != 0)
        return 1;
    static unsigned char frame[65537];
    const unsigned char ack = 0x11;
    while (readAll(master, frame, 2) && readAll(master, frame, frame[0] * 256u + frame[1]))
        if (write(master, &ack, 1) != 1)
            break;
    return 0;
}
