#pragma once
// The page server's listening socket, made by the program itself.

#include "result.h"

#include <string>

namespace j4::plant {

// Listening on HOST:PORT, whichever the family; or why not, as a sentence.
Result<int> listenOn(const std::string& host, int port);

} // namespace j4::plant
