#pragma once
// One gensio connection with an operating-system layer of its own: each
// link is used by one thread, which also runs gensio's events while it
// waits. Closing waits for gensio to be done before anything is freed.

#include "tls_certificate.h"

#include <gensio/gensio_types.h>

#include <chrono>
#include <functional>
#include <optional>

struct sergensio_b;

namespace j4 {

gensio_time toGensio(std::chrono::milliseconds ms);

// Runs gensio's events until `done` or the time is up.
void runEventsUntil(gensio_os_funcs* os, std::chrono::milliseconds timeout,
                    const std::function<bool()>& done);

// Opens `io` and runs its events until it is open, fails, the time is up or
// a stop is asked; then the result (nothing: not open in time).
std::optional<int> openAndWait(gensio_os_funcs* os, gensio* io, std::chrono::milliseconds timeout,
                               const std::function<bool()>& stopRequested);

struct GensioConnection {
    gensio_os_funcs* os = nullptr;
    gensio* io = nullptr;
    sergensio_b* serial = nullptr;
    CertificateCheck certificate;
    // A connection gensio cannot free safely (one that never finished its
    // close, or whose RFC 2217 settings were left unanswered while the
    // server flooded the line: gensio 2.6 crashes freeing those) is closed
    // and left to the process's end: a few kilobytes against a broken server.
    bool abandoned = false;

    GensioConnection() = default;
    ~GensioConnection();
    GensioConnection(const GensioConnection&) = delete;
    GensioConnection& operator=(const GensioConnection&) = delete;

    // Closes the connection, also one still being opened, and frees it once
    // gensio is done with it: freed mid-close, its layers would be lost.
    void closeAndFree();
};

} // namespace j4
