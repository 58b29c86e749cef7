#pragma once
// j4_plant serve: one page of the plant, lines → stations → slots, kept
// live over server-sent events from the LiveFeed; a unit's history; a hold
// or resume of a line for a supervisor. Safe by default: on loopback only
// unless told otherwise, and then only over TLS with every request signed
// in against a users file.

#include "result.h"

#include <atomic>
#include <functional>
#include <string>

namespace j4::plant {

struct ServeOptions {
    std::string records; // the plant's database
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string tlsCert; // both, or neither
    std::string tlsKey;
    std::string usersFile; // "name:role:crypt(3) hash" lines; role viewer or supervisor
    // Told when the database cannot be read, and (empty) when it can again.
    std::function<void(const std::string&)> told;
};

// Whether these options may serve: another address than loopback needs TLS
// and a users file. The reason as a sentence otherwise.
Result<Done> checkServeOptions(const ServeOptions& options);

// Serves until `stop`; why it could not, otherwise.
// `listening` is told once the files are read and the port is bound.
Result<Done> serve(const ServeOptions& options, const std::atomic<bool>& stop,
                   const std::function<void()>& listening = {});

} // namespace j4::plant
