// One HTTP request as a route handler sees it: a value, filled by HttpServer once the whole body
// has arrived (or once it ran past the route's limit), and read-only from then on.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace k47host::http {

struct HttpRequest {
    std::string method;   // as sent ("POST"), case-sensitive like HTTP's method tokens
    std::string path;     // without the query, %-escapes decoded where they are valid
    std::string rawPath;  // without the query, as sent: for paths whose segments may hold '/'
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
    std::string body;                                          // at most the route's limit
    size_t bodyBytes = 0;       // bytes received, also those beyond the limit
    bool bodyTooLarge = false;  // bodyBytes passed the limit: `body` holds only the first part
    std::string clientAddress;  // numeric, without the port
    std::string user;           // the authenticated user, or empty when authentication is off

    // The first header of that name (case-insensitive), or nothing.
    std::optional<std::string_view> Header(std::string_view name) const;
};

// ASCII case-insensitive comparison, as header names and media types are compared.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace k47host::http
