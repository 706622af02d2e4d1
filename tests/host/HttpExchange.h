// Raw HTTP/1.1 over loopback sockets for the host's listener tests: one request per connection,
// read to the close, so the bytes on the wire are what is checked.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <k47/unique_fd.h>

#include <cerrno>
#include <chrono>
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

// A blocking TCP connection to 127.0.0.1:port from `source` (any 127.x.y.z address is local).
inline k47::UniqueFd ConnectFrom(const char* source, uint16_t port) {
    k47::UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (!fd)
        return fd;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)
        return k47::UniqueFd();
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0)
        return k47::UniqueFd();
    return fd;
}

inline bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// True when the peer has closed (or reset) the connection; waits up to `wait` for it.
inline bool PeerClosed(int fd, std::chrono::milliseconds wait) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0)
        return false;
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Reads one answer with a Content-Length (what the layer always sends); its status, or 0 when the
// connection ends first or nothing comes within `wait`.
inline unsigned ReadAnswer(int fd, std::chrono::milliseconds wait, std::string* body = nullptr) {
    const auto until = std::chrono::steady_clock::now() + wait;
    std::string data;
    for (;;) {
        size_t headEnd = data.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            size_t at = data.find("Content-Length:");
            if (at == std::string::npos)
                at = data.find("content-length:");
            size_t length = at != std::string::npos ? std::stoul(data.substr(at + 15)) : 0;
            if (data.size() >= headEnd + 4 + length) {
                if (body != nullptr)
                    *body = data.substr(headEnd + 4, length);
                return static_cast<unsigned>(std::stoul(data.substr(9, 3)));
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            return 0;
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            return 0;
        data.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace k47test
