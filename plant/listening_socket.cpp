#include "listening_socket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace j4::plant {

// Our own, whichever the family: Linux's SO_REUSEPORT is never set, so a
// second server on a taken port is refused.
Result<int> listenOn(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string where = host + ":" + std::to_string(port);
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return fail("cannot listen on " + where + ": the address is not this machine's");
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
    const int socket = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return fail("cannot listen on " + where + ": " + std::strerror(errno));
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(socket, found->ai_addr, found->ai_addrlen) != 0 || listen(socket, 128) != 0) {
        const int error = errno;
        close(socket);
        return fail("cannot listen on " + where + ": " +
                    (error == EADDRINUSE      ? "the port is taken (another j4_plant serve?)"
                     : error == EADDRNOTAVAIL ? "the address is not this machine's"
                                              : std::strerror(error)));
    }
    return socket;
}

} // namespace j4::plant
