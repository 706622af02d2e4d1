// One HTTP answer as a route handler gives it: status, content type, body and extra headers.
// libmicrohttpd adds Content-Length, Date and the connection headers itself.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace k47host::http {

struct HttpResponse {
    unsigned status = 200;
    std::string contentType = "text/plain";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;

    static HttpResponse Text(unsigned status, std::string body) {
        HttpResponse response;
        response.status = status;
        response.body = std::move(body);
        return response;
    }
};

}  // namespace k47host::http
