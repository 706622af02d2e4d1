// Winsock conformance on loopback UDP: WSAStartup counting, names, event selection in waits,
// the datagram size rules, re-enabling of FD_READ, the WSASendTo destination rules.
#include <atomic>
#include <string>
#include <vector>

#include "winsock_test_util.h"

using namespace k47test;

namespace {

class WinsockUdp : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, session_.result()); }
    WinsockSession session_;
};

}  // namespace

// Every successful WSAStartup needs its WSACleanup; only the last one ends the library and
// closes the sockets still open. Outside, calls fail with WSANOTINITIALISED.
TEST(WinsockStartup, CountsStartsAndCleanupsAndNegotiatesTheVersion) {
    ASSERT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_DGRAM, 0));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    addrinfo* list = nullptr;
    EXPECT_EQ(WSANOTINITIALISED, getaddrinfo("127.0.0.1", nullptr, nullptr, &list));
    EXPECT_EQ(WSA_INVALID_EVENT, WSACreateEvent());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    WSASetLastError(4321);  // works without the library, as on Windows
    EXPECT_EQ(4321, WSAGetLastError());

    struct {
        WORD requested;
        int result;
        WORD version;
    } const cases[] = {
        {MAKEWORD(2, 2), 0, 0x0202}, {MAKEWORD(2, 0), 0, 0x0002},
        {MAKEWORD(1, 1), 0, 0x0101}, {MAKEWORD(3, 0), 0, 0x0202},
        {MAKEWORD(2, 7), 0, 0x0202}, {MAKEWORD(0, 9), WSAVERNOTSUPPORTED, 0},
    };
    int started = 0;
    for (const auto& c : cases) {
        WSADATA data{};
        EXPECT_EQ(c.result, WSAStartup(c.requested, &data)) << std::hex << c.requested;
        if (c.result == 0) {
            ++started;
            EXPECT_EQ(c.version, data.wVersion) << std::hex << c.requested;
            EXPECT_EQ(0x0202, data.wHighVersion);
        }
    }
    EXPECT_EQ(WSAEFAULT, WSAStartup(MAKEWORD(2, 2), nullptr));

    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    for (int i = 1; i < started; ++i) {
        ASSERT_EQ(0, WSACleanup());
        ULONG queued = 99;
        EXPECT_EQ(0, ioctlsocket(s, FIONREAD, &queued)) << "still started after cleanup " << i;
    }
    ASSERT_EQ(0, WSACleanup());  // the last one
    EXPECT_EQ(SOCKET_ERROR, closesocket(s));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());

    // The final cleanup closed the socket: a new start does not bring it back.
    WinsockSession again;
    ASSERT_EQ(0, again.result());
    EXPECT_EQ(SOCKET_ERROR, closesocket(s));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST_F(WinsockUdp, BindToPortZeroGivesAPortAndNames) {
    UniqueSocket s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    sockaddr_in name{};
    int len = sizeof(name);
    EXPECT_EQ(SOCKET_ERROR, getsockname(s.get(), reinterpret_cast<sockaddr*>(&name), &len));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError()) << "an unbound socket has no name";

    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(0, bind(s.get(), Sa(any), sizeof(any)));
    len = sizeof(name);
    ASSERT_EQ(0, getsockname(s.get(), reinterpret_cast<sockaddr*>(&name), &len));
    EXPECT_EQ(16, len);
    EXPECT_EQ(AF_INET, name.sin_family);
    EXPECT_NE(0, name.sin_port);
    EXPECT_EQ(0u, name.sin_addr.s_addr);

    EXPECT_EQ(SOCKET_ERROR, bind(s.get(), Sa(any), sizeof(any)));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError()) << "already bound";
    UniqueSocket other(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    EXPECT_EQ(SOCKET_ERROR, bind(other.get(), Sa(name), sizeof(name)));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
    len = 8;
    EXPECT_EQ(SOCKET_ERROR, getsockname(s.get(), reinterpret_cast<sockaddr*>(&name), &len));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

// The camera's worker waits on {stop event, datagram event}: it must sleep until a datagram
// arrives, and then wake with the datagram event's index.
TEST_F(WinsockUdp, SelectedEventWakesABlockedWaitOnlyWhenADatagramArrives) {
    UniqueSocket receiver = BoundUdp();
    UniqueSocket sender = BoundUdp();
    UniqueHandle stop = MakeEvent(true);
    UniqueHandle datagram = MakeEvent(false);  // auto-reset, as the camera uses
    ASSERT_EQ(0, WSAEventSelect(receiver.get(), datagram.get(), FD_READ));

    std::atomic<DWORD> result{0xDEAD};
    TestThread waiter([&] {
        HANDLE set[2] = {stop.get(), datagram.get()};
        result = WaitForMultipleObjects(2, set, FALSE, 20000);
        return 0;
    });
    ASSERT_TRUE(WaitUntilBlockedInPoll(waiter.id()));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(waiter.handle(), 200)) << "woke with no datagram";
    EXPECT_EQ(0xDEADu, result.load());

    ASSERT_EQ(14, SendDatagram(sender.get(), PortOf(receiver.get()), std::string(14, 'x')));
    ASSERT_TRUE(waiter.Join(10000));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, result.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(datagram.get(), 0)) << "auto-reset: consumed";
}

// The camera receives exactly 14 bytes: a longer datagram fills the buffer, fails with
// WSAEMSGSIZE and is consumed; a shorter one is received whole.
TEST_F(WinsockUdp, DatagramLongerThanTheBufferFailsWithMsgSizeAndIsConsumed) {
    UniqueSocket receiver = BoundUdp();
    UniqueSocket sender = BoundUdp();
    USHORT port = PortOf(receiver.get());
    struct {
        size_t size;
        int result;
        int error;
        DWORD received;
    } const cases[] = {
        {13, 0, 0, 13},
        {14, 0, 0, 14},
        {15, SOCKET_ERROR, WSAEMSGSIZE, 14},
        {0, 0, 0, 0},
        {200, SOCKET_ERROR, WSAEMSGSIZE, 14},
    };
    for (const auto& c : cases) {
        std::string payload;
        for (size_t i = 0; i < c.size; ++i) {
            payload += static_cast<char>('a' + i % 26);
        }
        ASSERT_EQ(static_cast<int>(c.size), SendDatagram(sender.get(), port, payload));
        ASSERT_EQ(4, SendDatagram(sender.get(), port, "next"));

        unsigned char buffer[20];
        std::memset(buffer, 0xEE, sizeof(buffer));
        WSABUF b{14, reinterpret_cast<CHAR*>(buffer)};
        DWORD received = 0xFFFF, flags = 0;
        sockaddr_in from{};
        int fromlen = sizeof(from);
        int rc = WSARecvFrom(receiver.get(), &b, 1, &received, &flags,
                             reinterpret_cast<sockaddr*>(&from), &fromlen, nullptr, nullptr);
        EXPECT_EQ(c.result, rc) << c.size;
        if (rc != 0) {
            EXPECT_EQ(c.error, WSAGetLastError()) << c.size;
        }
        EXPECT_EQ(c.received, received) << c.size;
        EXPECT_EQ(0, std::memcmp(buffer, payload.data(), c.received)) << c.size;
        EXPECT_EQ(0xEE, buffer[14]) << "nothing written past the buffer";
        EXPECT_EQ(PortOf(sender.get()), ntohs(from.sin_port)) << c.size;
        EXPECT_EQ(16, fromlen);

        // The excess was discarded with its datagram: the next call gets the next datagram.
        char next[8] = {};
        EXPECT_EQ(4, recv(receiver.get(), next, sizeof(next), 0)) << c.size;
        EXPECT_EQ("next", std::string(next, 4));
    }

    // A sender buffer too small for the address fails before anything is consumed.
    ASSERT_EQ(3, SendDatagram(sender.get(), port, "xyz"));
    char buf[8];
    WSABUF b{sizeof(buf), buf};
    DWORD received = 0, flags = 0;
    sockaddr_in from{};
    int fromlen = 8;
    EXPECT_EQ(SOCKET_ERROR,
              WSARecvFrom(receiver.get(), &b, 1, &received, &flags,
                          reinterpret_cast<sockaddr*>(&from), &fromlen, nullptr, nullptr));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    EXPECT_EQ(3, recv(receiver.get(), buf, sizeof(buf), 0));
}

// FD_READ is recorded once, re-enabled by any receive call, and recorded again at once when data
// remains (level-triggered). WSAEnumNetworkEvents copies, clears and resets; error slots of
// events not reported are left alone.
TEST_F(WinsockUdp, FdReadIsReenabledByReceiveAndLevelTriggered) {
    UniqueSocket receiver = BoundUdp();
    UniqueSocket sender = BoundUdp();
    UniqueHandle event(WSACreateEvent());
    ASSERT_EQ(0, WSAEventSelect(receiver.get(), event.get(), FD_READ));
    USHORT port = PortOf(receiver.get());
    char buf[16];

    auto enumerate = [&](LONG expected, const char* what) {
        WSANETWORKEVENTS ne;
        ne.lNetworkEvents = -1;
        for (int& e : ne.iErrorCode) {
            e = 0x5A5A;
        }
        ASSERT_EQ(0, WSAEnumNetworkEvents(receiver.get(), event.get(), &ne)) << what;
        EXPECT_EQ(expected, ne.lNetworkEvents) << what;
        for (int i = 0; i < FD_MAX_EVENTS; ++i) {
            EXPECT_EQ((expected & (1 << i)) ? 0 : 0x5A5A, ne.iErrorCode[i])
                << what << " slot " << i;
        }
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 0)) << what << ": reset";
    };

    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 0)) << "nothing queued yet";
    ASSERT_EQ(1, SendDatagram(sender.get(), port, "1"));
    ASSERT_EQ(1, SendDatagram(sender.get(), port, "2"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 5000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0)) << "manual-reset: stays set";
    enumerate(FD_READ, "first");
    // Data remains, but nothing is recorded again until a receive call.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 100));

    ASSERT_EQ(1, recv(receiver.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0)) << "one datagram left";
    enumerate(FD_READ, "second");
    ASSERT_EQ(1, recv(receiver.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 100)) << "queue empty";
    enumerate(0, "empty");

    // A receive that fails still re-enables: the next datagram is recorded.
    EXPECT_EQ(SOCKET_ERROR, recv(receiver.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError()) << "WSAEventSelect made it non-blocking";
    ASSERT_EQ(1, SendDatagram(sender.get(), port, "3"));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 5000));
}
