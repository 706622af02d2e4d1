// One HTTP answer as a route handler gives it: status, content type, body and extra headers.
// libmicrohttpd adds Content-Length, Date and the connection headers itself.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
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

    // {"error":"text"}, for routes whose clients read JSON. `text` is UTF-8; a trailing line
    // break is dropped (the plain answers end with one).
    static HttpResponse JsonError(unsigned status, std::string_view text) {
        while (!text.empty() && text.back() == '\n')
            text.remove_suffix(1);
        HttpResponse response;
        response.status = status;
        response.contentType = "application/json";
        response.body = "{\"error\":\"";
        for (char c : text) {
            if (c == '"' || c == '\\') {
                response.body.push_back('\\');
                response.body.push_back(c);
            } else if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
                response.body += escaped;
            } else {
                response.body.push_back(c);
            }
        }
        response.body += "\"}";
        return response;
    }
};

}  // namespace k47host::http
