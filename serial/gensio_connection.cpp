#include "gensio_connection.h"

#include <gensio/gensio.h>
#include <gensio/gensio_os_funcs_public.h>
#include <gensio/sergensio.h>

namespace j4 {
namespace {

void onOpened(gensio*, int error, void* data) {
    auto* result = static_cast<std::pair<int, bool>*>(data);
    result->first = error;
    result->second = true;
}

} // namespace

gensio_time toGensio(std::chrono::milliseconds ms) {
    return {static_cast<decltype(gensio_time::secs)>(ms.count() / 1000),
            static_cast<int>((ms.count() % 1000) * 1000000)};
}

// Runs gensio's events until `done` or the time is up.
void runEventsUntil(gensio_os_funcs* os, std::chrono::milliseconds timeout,
                    const std::function<bool()>& done) {
    gensio_waiter* waiter = gensio_os_funcs_alloc_waiter(os);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        gensio_time slice = toGensio(std::chrono::milliseconds{20});
        gensio_os_funcs_wait(os, waiter, 1, &slice);
    }
    gensio_os_funcs_free_waiter(os, waiter);
}

// Opens `io` and runs its events until it is open, fails, the time is up or
// a stop is asked; then the result (nothing: not open in time).
std::optional<int> openAndWait(gensio_os_funcs* os, gensio* io, std::chrono::milliseconds timeout,
                               const std::function<bool()>& stopRequested) {
    std::pair<int, bool> opened{0, false};
    if (int error = gensio_open(io, onOpened, &opened); error != 0)
        return error;
    runEventsUntil(os, timeout, [&] { return opened.second || stopRequested(); });
    if (!opened.second)
        return std::nullopt;
    return opened.first;
}

GensioConnection::~GensioConnection() {
    if (serial != nullptr && !abandoned)
        sergensio_b_free(serial);
    closeAndFree();
    if (os != nullptr && !abandoned)
        gensio_os_funcs_free(os);
}

void GensioConnection::closeAndFree() {
    if (io == nullptr)
        return;
    // What the server still sends is of no interest: a server that floods
    // the line would keep the close from ever being handled.
    gensio_set_read_callback_enable(io, false);
    bool closed = false;
    const auto onClosed = [](gensio*, void* done) { *static_cast<bool*>(done) = true; };
    if (gensio_close(io, onClosed, &closed) == 0)
        runEventsUntil(os, std::chrono::seconds(2), [&closed] { return closed; });
    else
        closed = true; // not open, or closed already: nothing is under way
    if (!closed)
        abandoned = true; // freed mid-close, it would crash
    if (!abandoned)
        gensio_free(io);
    io = nullptr;
}

} // namespace j4
