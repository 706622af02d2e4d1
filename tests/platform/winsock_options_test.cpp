// Winsock options, shutdown, WSAWaitForMultipleEvents and IPv6 on loopback.
#include <string>

#include "winsock_test_util.h"

using namespace k47test;

namespace {

class WinsockMisc : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, session_.result()); }
    WinsockSession session_;
};

int GetInt(SOCKET s, int level, int name, int* value) {
    int len = sizeof(*value);
    int rc = getsockopt(s, level, name, reinterpret_cast<char*>(value), &len);
    if (rc == 0) {
        EXPECT_EQ(static_cast<int>(sizeof(int)), len);
    }
    return rc;
}

}  // namespace

// Options keep Windows values and meanings: BOOL options read back as 0/1, buffer sizes as
// set (Linux would report twice the size), unknown options are WSAENOPROTOOPT.
TEST_F(WinsockMisc, OptionsRoundTripWithWindowsValues) {
    UniqueSocket udp(socket(AF_INET, SOCK_DGRAM, 0));
    UniqueSocket tcp(socket(AF_INET, SOCK_STREAM, 0));
    struct {
        SOCKET s;
        int level, name, set, expected;
    } const cases[] = {
        {udp.get(), SOL_SOCKET, SO_REUSEADDR, 7, 1},
        {udp.get(), SOL_SOCKET, SO_REUSEADDR, 0, 0},
        {udp.get(), SOL_SOCKET, SO_BROADCAST, 1, 1},
        {udp.get(), SOL_SOCKET, SO_RCVBUF, 65536, 65536},
        {udp.get(), SOL_SOCKET, SO_SNDBUF, 32768, 32768},
        {tcp.get(), IPPROTO_TCP, TCP_NODELAY, 1, 1},
        {tcp.get(), IPPROTO_TCP, TCP_NODELAY, 0, 0},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(0, setsockopt(c.s, c.level, c.name, reinterpret_cast<const char*>(&c.set),
                                sizeof(c.set)))
            << std::hex << c.name << " " << WSAGetLastError();
        int value = -1;
        ASSERT_EQ(0, GetInt(c.s, c.level, c.name, &value)) << std::hex << c.name;
        EXPECT_EQ(c.expected, value) << std::hex << c.name;
    }
    int value = 0;
    EXPECT_EQ(0, GetInt(udp.get(), SOL_SOCKET, SO_ERROR, &value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(SOCKET_ERROR, GetInt(udp.get(), SOL_SOCKET, 0x1234, &value));
    EXPECT_EQ(WSAENOPROTOOPT, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, setsockopt(udp.get(), SOL_SOCKET, SO_ERROR,
                                       reinterpret_cast<const char*>(&value), sizeof(value)));
    EXPECT_EQ(WSAENOPROTOOPT, WSAGetLastError()) << "SO_ERROR is read-only";
    char small = 1;
    EXPECT_EQ(SOCKET_ERROR, setsockopt(udp.get(), SOL_SOCKET, SO_BROADCAST, &small, 1));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    int len = 2;
    EXPECT_EQ(SOCKET_ERROR,
              getsockopt(udp.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&value), &len));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

// shutdown(SD_SEND): the peer reads the end of the stream, our later sends fail with
// WSAESHUTDOWN, and receiving still works.
TEST_F(WinsockMisc, ShutdownSendEndsTheStreamForThePeerOnly) {
    auto [client, server] = ConnectedPair();
    ASSERT_EQ(3, send(client.get(), "abc", 3, 0));
    ASSERT_EQ(0, shutdown(client.get(), SD_SEND));
    char buf[8];
    EXPECT_EQ(3, recv(server.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(0, recv(server.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(SOCKET_ERROR, send(client.get(), "d", 1, 0));
    EXPECT_EQ(WSAESHUTDOWN, WSAGetLastError());
    ASSERT_EQ(2, send(server.get(), "ok", 2, 0));
    EXPECT_EQ(2, recv(client.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(SOCKET_ERROR, shutdown(client.get(), 7));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    UniqueSocket fresh(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(SOCKET_ERROR, shutdown(fresh.get(), SD_BOTH));
    EXPECT_EQ(WSAENOTCONN, WSAGetLastError());
}

TEST_F(WinsockMisc, WaitForMultipleEventsFollowsTheWaitRules) {
    UniqueHandle a(WSACreateEvent()), b(WSACreateEvent());
    WSAEVENT set[2] = {a.get(), b.get()};
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(2, set, FALSE, 0, FALSE));
    ASSERT_TRUE(WSASetEvent(b.get()));
    EXPECT_EQ(WSA_WAIT_EVENT_0 + 1, WSAWaitForMultipleEvents(2, set, FALSE, 1000, FALSE));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(2, set, TRUE, 0, FALSE));
    ASSERT_TRUE(WSASetEvent(a.get()));
    EXPECT_EQ(WSA_WAIT_EVENT_0, WSAWaitForMultipleEvents(2, set, TRUE, 0, FALSE));
    EXPECT_EQ(WSA_WAIT_EVENT_0, WSAWaitForMultipleEvents(2, set, FALSE, 0, FALSE))
        << "manual-reset: still set";
    ASSERT_TRUE(WSAResetEvent(a.get()));
    EXPECT_EQ(WSA_WAIT_EVENT_0 + 1, WSAWaitForMultipleEvents(2, set, FALSE, 0, FALSE));

    EXPECT_EQ(WSA_WAIT_FAILED, WSAWaitForMultipleEvents(0, set, FALSE, 0, FALSE));
    EXPECT_EQ(WSA_INVALID_PARAMETER, WSAGetLastError());
    WSAEVENT bad[1] = {reinterpret_cast<WSAEVENT>(0x7770)};
    EXPECT_EQ(WSA_WAIT_FAILED, WSAWaitForMultipleEvents(1, bad, FALSE, 0, FALSE));
    EXPECT_EQ(WSA_INVALID_HANDLE, WSAGetLastError());
    EXPECT_FALSE(WSACloseEvent(bad[0]));
    EXPECT_EQ(WSA_INVALID_HANDLE, WSAGetLastError());
    EXPECT_TRUE(WSACloseEvent(a.release()));
}

// IPv6 addresses cross the platform in the Windows layout (family 23, 28 bytes).
TEST_F(WinsockMisc, Ipv6DatagramsOnLoopback) {
    UniqueSocket receiver(socket(AF_INET6, SOCK_DGRAM, 0));
    ASSERT_NE(INVALID_SOCKET, receiver.get());
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    ASSERT_EQ(1, inet_pton(AF_INET6, "::1", &local.sin6_addr));
    ASSERT_EQ(0, bind(receiver.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)))
        << WSAGetLastError();
    sockaddr_in6 name{};
    int len = sizeof(name);
    ASSERT_EQ(0, getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&name), &len));
    EXPECT_EQ(28, len);
    EXPECT_EQ(AF_INET6, name.sin6_family);
    EXPECT_NE(0, name.sin6_port);
    EXPECT_EQ(0, std::memcmp(&name.sin6_addr, &local.sin6_addr, 16));

    UniqueSocket sender(socket(AF_INET6, SOCK_DGRAM, 0));
    ASSERT_EQ(
        5, sendto(sender.get(), "hello", 5, 0, reinterpret_cast<sockaddr*>(&name), sizeof(name)));
    char buf[8];
    sockaddr_in6 from{};
    int fromlen = sizeof(from);
    EXPECT_EQ(5, recvfrom(receiver.get(), buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from),
                          &fromlen));
    EXPECT_EQ(28, fromlen);
    EXPECT_EQ(AF_INET6, from.sin6_family);
    // An IPv4-sized sender buffer cannot take an IPv6 address.
    ASSERT_EQ(1, sendto(sender.get(), "x", 1, 0, reinterpret_cast<sockaddr*>(&name), sizeof(name)));
    sockaddr_in small{};
    fromlen = sizeof(small);
    EXPECT_EQ(SOCKET_ERROR, recvfrom(receiver.get(), buf, sizeof(buf), 0,
                                     reinterpret_cast<sockaddr*>(&small), &fromlen));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    // The wildcard address is no destination in IPv6 either.
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = name.sin6_port;
    EXPECT_EQ(SOCKET_ERROR,
              sendto(sender.get(), "x", 1, 0, reinterpret_cast<sockaddr*>(&any), sizeof(any)));
    EXPECT_EQ(WSAEADDRNOTAVAIL, WSAGetLastError());
}
