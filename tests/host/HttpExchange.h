// Raw HTTP/1.1 over loopback sockets for the host's listener tests: one request per connection,
// read to the close, so the bytes on the wire are what is checked.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace k47test {

struct Reply {
    unsigned status = 0;  // 0: no answer (connection refused or closed)
    std::string head;     // status line and headers
    std::string body;

    // The value of the first header of that name (names compared without case), or "".
    std::string Header(const std::string& name) const {
        size_t at = 0;
        while ((at = head.find("\r\n", at)) != std::string::npos) {
            at += 2;
            size_t colon = head.find(':', at);
            size_t end = head.find("\r\n", at);
            if (colon == std::string::npos || colon > end)
                continue;
            if (strncasecmp(head.c_str() + at, name.c_str(), name.size()) == 0 &&
                colon - at == name.size()) {
                size_t value = head.find_first_not_of(' ', colon + 1);
                return head.substr(value, end - value);
            }
        }
        return {};
    }
};

// One request on a fresh connection to the loopback address of `family`, read to the close.
inline Reply Exchange(int family, uint16_t port, const std::string& request) {
    Reply reply;
    int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0)
        return reply;
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(*v4);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_addr = in6addr_loopback;
        length = sizeof(*v6);
    }
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0)
            answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t split = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 ", 0) != 0 || split == std::string::npos)
        return reply;
    reply.status = static_cast<unsigned>(std::stoul(answer.substr(9, 3)));
    reply.head = answer.substr(0, split);
    reply.body = answer.substr(split + 4);
    return reply;
}

// A request that closes its connection; Content-Length unless a GET or HEAD without a body.
inline std::string Request(const std::string& method, const std::string& path,
                           const std::string& body = {}, const std::string& extraHeaders = {}) {
    return method + " " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extraHeaders +
           (body.empty() && (method == "GET" || method == "HEAD")
                ? std::string()
                : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
           "\r\n" + body;
}

inline bool HasIpv6Loopback() {
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

}  // namespace k47test
