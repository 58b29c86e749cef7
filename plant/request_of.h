#pragma once
// A request as libmicrohttpd hands it over, in the shape the routes read.

#include "http_server.h"

#include <microhttpd.h>

namespace j4::plant {

HttpRequest requestOf(MHD_Connection* connection, const char* url, const char* method);

} // namespace j4::plant
