// A request as the page's routes read it (from libmicrohttpd's), and the
// answers they give.

#include "request_of.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

namespace j4::plant {
namespace {

std::string numericAddress(MHD_Connection* connection) {
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[NI_MAXHOST] = "";
    if (info && info->client_addr)
        getnameinfo(info->client_addr,
                    info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                             : sizeof(sockaddr_in),
                    text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    return text;
}

MHD_Result collect(void* into, MHD_ValueKind, const char* key, const char* value) {
    std::string name = key ? key : "";
    auto& values = *static_cast<std::map<std::string, std::string>*>(into);
    values.emplace(std::move(name), value ? value : "");
    return MHD_YES;
}

} // namespace

HttpRequest requestOf(MHD_Connection* connection, const char* url, const char* method) {
    HttpRequest request{method, url, numericAddress(connection), {}, {}, {}};
    std::map<std::string, std::string> headers;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collect, &headers);
    for (auto& [name, value] : headers) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        request.headers.emplace(std::move(lower), std::move(value));
    }
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect, &request.query);
    return request;
}

HttpReply textReply(int status, std::string text, HttpHeaders headers) {
    return typedReply(status, "text/plain; charset=utf-8", std::move(text), std::move(headers));
}

HttpReply typedReply(int status, std::string type, std::string body, HttpHeaders headers) {
    HttpReply reply;
    reply.status = status;
    reply.type = std::move(type);
    reply.body = std::move(body);
    reply.headers = std::move(headers);
    return reply;
}

std::string HttpRequest::header(const std::string& lowerCaseName) const {
    const auto found = headers.find(lowerCaseName);
    return found == headers.end() ? std::string() : found->second;
}

std::string HttpRequest::param(const std::string& name) const {
    const auto found = query.find(name);
    return found == query.end() ? std::string() : found->second;
}

bool HttpRequest::hasBody() const {
    const std::string length = header("content-length");
    return (!length.empty() && length != "0") || headers.contains("transfer-encoding");
}

} // namespace j4::plant
