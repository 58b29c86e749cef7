#include "socket_ready.h"

#include <poll.h>

namespace j4::db {

bool socketReady(int socket, SocketEvent event, std::chrono::milliseconds step) {
    const short events = event == SocketEvent::Readable   ? POLLIN
                         : event == SocketEvent::Writable ? POLLOUT
                                                          : POLLIN | POLLOUT;
    pollfd watched{socket, events, 0};
    // An interrupted wait counts as ready: the caller looks again.
    return ::poll(&watched, 1, static_cast<int>(step.count())) != 0;
}

} // namespace j4::db
