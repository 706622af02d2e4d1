// Helpers for the Winsock tests: a started library for the test's duration, an owned SOCKET,
// loopback addresses, a bound UDP socket, a TCP listener with a connected pair, and a check that
// a thread is blocked in poll/ppoll.
// Threading: each helper belongs to the thread that made it. Lifetime: WinsockSession must
// outlive the sockets of the test (its destructor's WSACleanup would close them anyway).
#pragma once

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <time.h>

#include <cstring>
#include <string>
#include <utility>

#include "handle_test_util.h"

namespace k47test {

class WinsockSession {
  public:
    WinsockSession() {
        WSADATA data;
        result_ = WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession() {
        if (result_ == 0) {
            WSACleanup();
        }
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    int result() const { return result_; }

  private:
    int result_;
};

class UniqueSocket {
  public:
    UniqueSocket() = default;
    explicit UniqueSocket(SOCKET s) : s_(s) {}
    UniqueSocket(UniqueSocket&& o) noexcept : s_(std::exchange(o.s_, INVALID_SOCKET)) {}
    UniqueSocket& operator=(UniqueSocket&& o) noexcept {
        reset(std::exchange(o.s_, INVALID_SOCKET));
        return *this;
    }
    ~UniqueSocket() { reset(); }
    SOCKET get() const { return s_; }
    SOCKET release() { return std::exchange(s_, INVALID_SOCKET); }
    void reset(SOCKET s = INVALID_SOCKET) {
        if (s_ != INVALID_SOCKET) {
            closesocket(s_);
        }
        s_ = s;
    }

  private:
    SOCKET s_ = INVALID_SOCKET;
};

inline sockaddr_in Loopback(USHORT port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline const sockaddr* Sa(const sockaddr_in& a) {
    return reinterpret_cast<const sockaddr*>(&a);
}

inline USHORT PortOf(SOCKET s) {
    sockaddr_in a{};
    int len = sizeof(a);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

// A UDP socket bound to 127.0.0.1 on a port the system chose.
inline UniqueSocket BoundUdp() {
    UniqueSocket s(WSASocketA(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, 0));
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(0, bind(s.get(), Sa(a), sizeof(a))) << WSAGetLastError();
    return s;
}

inline int SendDatagram(SOCKET from, USHORT to_port, const std::string& bytes) {
    sockaddr_in to = Loopback(to_port);
    return sendto(from, bytes.data(), static_cast<int>(bytes.size()), 0, Sa(to), sizeof(to));
}

// A listening TCP socket on 127.0.0.1.
inline UniqueSocket Listener() {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(0, bind(s.get(), Sa(a), sizeof(a))) << WSAGetLastError();
    EXPECT_EQ(0, listen(s.get(), 8)) << WSAGetLastError();
    return s;
}

// A connected pair over loopback (blocking sockets): {client, server side}.
inline std::pair<UniqueSocket, UniqueSocket> ConnectedPair() {
    UniqueSocket listener = Listener();
    UniqueSocket client(
        WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
    sockaddr_in a = Loopback(PortOf(listener.get()));
    EXPECT_EQ(0, connect(client.get(), Sa(a), sizeof(a))) << WSAGetLastError();
    UniqueSocket server(accept(listener.get(), nullptr, nullptr));
    EXPECT_NE(INVALID_SOCKET, server.get()) << WSAGetLastError();
    return {std::move(client), std::move(server)};
}

// CPU time the calling thread has used, in milliseconds.
inline double ThreadCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace k47test
