#include "socket_ready.h"

#include <winsock2.h>

namespace j4::db {

// select(), as libpq itself waits on Windows: WSAPoll does not report a
// refused connection on every Windows release, and select() names it among
// the exceptions.
bool socketReady(int socket, SocketEvent event, std::chrono::milliseconds step) {
    const auto handle = static_cast<SOCKET>(socket);
    fd_set reading, writing, failing;
    FD_ZERO(&reading);
    FD_ZERO(&writing);
    FD_ZERO(&failing);
    if (event != SocketEvent::Writable)
        FD_SET(handle, &reading);
    if (event != SocketEvent::Readable)
        FD_SET(handle, &writing);
    FD_SET(handle, &failing);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(step).count();
    timeval timeout{static_cast<long>(micros / 1000000), static_cast<long>(micros % 1000000)};
    return ::select(0, &reading, &writing, &failing, &timeout) != 0;
}

} // namespace j4::db
