// Winsock behaviour under injected system-call faults (the socket seam): interrupted calls are
// retried, short sends are completed or reported, connection errors reach the caller with their
// Winsock numbers, a would-block send arms FD_WRITE, descriptor exhaustion is WSAEMFILE.
#include <atomic>
#include <cerrno>
#include <string>

#include "../../../platform/posix/winsock/socket_sys.h"
#include "winsock_test_util.h"

using namespace k47test;
namespace net = k47::winsock::sys;

namespace {

// How many of the next calls fail, and with which errno; a cap on the bytes one send may take.
std::atomic<int> g_receive_faults{0};
std::atomic<int> g_receive_errno{0};
std::atomic<int> g_send_faults{0};
std::atomic<int> g_send_errno{0};
std::atomic<size_t> g_send_cap{0};
std::atomic<int> g_send_calls{0};
std::atomic<int> g_open_errno{0};

long FakeReceive(int fd, const net::IoSlice* slices, int count, void* from, int* fromlen, int flags,
                 bool* truncated) {
    if (g_receive_faults > 0) {
        --g_receive_faults;
        errno = g_receive_errno;
        return -1;
    }
    return net::RealSocketSyscalls().receive(fd, slices, count, from, fromlen, flags, truncated);
}

long FakeSend(int fd, const net::IoSlice* slices, int count, const void* to, int tolen, int flags) {
    ++g_send_calls;
    if (g_send_faults > 0) {
        --g_send_faults;
        errno = g_send_errno;
        return -1;
    }
    size_t cap = g_send_cap;
    if (cap != 0 && count > 0) {
        net::IoSlice first{slices[0].data, std::min(cap, slices[0].size)};
        return net::RealSocketSyscalls().send(fd, &first, 1, to, tolen, flags);
    }
    return net::RealSocketSyscalls().send(fd, slices, count, to, tolen, flags);
}

int FakeOpen(int family, int type, int protocol) {
    if (g_open_errno != 0) {
        errno = g_open_errno;
        return -1;
    }
    return net::RealSocketSyscalls().open(family, type, protocol);
}

class WinsockFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, session_.result());
        g_receive_faults = 0;
        g_send_faults = 0;
        g_send_cap = 0;
        g_send_calls = 0;
        g_open_errno = 0;
        net::SocketSyscalls().receive = FakeReceive;
        net::SocketSyscalls().send = FakeSend;
        net::SocketSyscalls().open = FakeOpen;
    }

    WinsockSession session_;
    net::ScopedSocketSyscalls restore_;  // declared after the session: restored before cleanup
};

std::string ReceiveExactly(SOCKET s, size_t n) {
    std::string got;
    char buf[256];
    while (got.size() < n) {
        int r = recv(s, buf, static_cast<int>(std::min(sizeof(buf), n - got.size())), 0);
        if (r <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

}  // namespace

TEST_F(WinsockFaults, InterruptedCallsAreRetried) {
    auto [client, server] = ConnectedPair();
    g_send_errno = EINTR;
    g_send_faults = 2;
    ASSERT_EQ(5, send(client.get(), "12345", 5, 0)) << WSAGetLastError();
    g_receive_errno = EINTR;
    g_receive_faults = 3;
    char buf[8];
    ASSERT_EQ(5, recv(server.get(), buf, sizeof(buf), 0)) << WSAGetLastError();
    EXPECT_EQ("12345", std::string(buf, 5));
    EXPECT_EQ(0, g_receive_faults.load());
}

// A blocking send goes on until every byte is out; a non-blocking one reports what went.
TEST_F(WinsockFaults, ShortSendsAreCompletedByBlockingSendsAndReportedByOthers) {
    auto [client, server] = ConnectedPair();
    const std::string message = "the quick brown fox jumps";
    g_send_cap = 3;
    WSABUF bufs[2] = {
        {10, const_cast<char*>(message.data())},
        {static_cast<ULONG>(message.size() - 10), const_cast<char*>(message.data()) + 10}};
    DWORD sent = 0;
    ASSERT_EQ(0, WSASend(client.get(), bufs, 2, &sent, 0, nullptr, nullptr));
    EXPECT_EQ(message.size(), sent);
    EXPECT_GE(g_send_calls.load(), 9);
    EXPECT_EQ(message, ReceiveExactly(server.get(), message.size()));

    ULONG nonblocking = 1;
    ASSERT_EQ(0, ioctlsocket(client.get(), FIONBIO, &nonblocking));
    EXPECT_EQ(3, send(client.get(), message.data(), static_cast<int>(message.size()), 0));
    EXPECT_EQ(message.substr(0, 3), ReceiveExactly(server.get(), 3));

    // The overlapped form, like the blocking one, completes only with every byte.
    g_send_cap = 4;
    UniqueHandle event(WSACreateEvent());
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    DWORD flags = 0;
    int rc = WSASend(client.get(), bufs, 2, &sent, 0, &ov, nullptr);
    if (rc == SOCKET_ERROR) {
        ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
    }
    ASSERT_TRUE(WSAGetOverlappedResult(client.get(), &ov, &sent, TRUE, &flags));
    EXPECT_EQ(message.size(), sent);
    EXPECT_EQ(message, ReceiveExactly(server.get(), message.size()));
}

TEST_F(WinsockFaults, ConnectionErrorsReachTheCallerAsWinsockNumbers) {
    auto [client, server] = ConnectedPair();
    // A pending overlapped receive that fails when it is performed.
    UniqueHandle event(WSACreateEvent());
    std::string buffer(8, '#');
    WSABUF b{8, buffer.data()};
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    DWORD flags = 0, bytes = 77;
    ASSERT_EQ(SOCKET_ERROR, WSARecv(client.get(), &b, 1, nullptr, &flags, &ov, nullptr));
    ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
    g_receive_errno = ECONNRESET;
    g_receive_faults = 1;
    ASSERT_EQ(1, send(server.get(), "x", 1, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 5000));
    EXPECT_FALSE(WSAGetOverlappedResult(client.get(), &ov, &bytes, FALSE, &flags));
    EXPECT_EQ(WSAECONNRESET, WSAGetLastError());
    EXPECT_EQ(77u, bytes) << "no count on failure";
    EXPECT_EQ(std::string(8, '#'), buffer);

    struct {
        int error;
        int wsa;
    } const cases[] = {
        {ECONNRESET, WSAECONNRESET}, {ENOBUFS, WSAENOBUFS},   {ENETUNREACH, WSAENETUNREACH},
        {EAGAIN, WSAEWOULDBLOCK},    {EMSGSIZE, WSAEMSGSIZE}, {ETIMEDOUT, WSAETIMEDOUT},
        {EPIPE, WSAECONNRESET},      {ENOTCONN, WSAENOTCONN}, {EHOSTUNREACH, WSAEHOSTUNREACH},
    };
    ULONG nonblocking = 1;
    ASSERT_EQ(0, ioctlsocket(client.get(), FIONBIO, &nonblocking));
    for (const auto& c : cases) {
        g_send_errno = c.error;
        g_send_faults = 1;
        EXPECT_EQ(SOCKET_ERROR, send(client.get(), "y", 1, 0)) << c.error;
        EXPECT_EQ(c.wsa, WSAGetLastError()) << c.error;
    }
}

// A send that would block arms FD_WRITE: it is recorded when the socket can send again.
TEST_F(WinsockFaults, WouldBlockSendArmsFdWrite) {
    auto [client, server] = ConnectedPair();
    UniqueHandle event(WSACreateEvent());
    ASSERT_EQ(0, WSAEventSelect(client.get(), event.get(), FD_WRITE));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 5000)) << "connected: FD_WRITE due";
    WSANETWORKEVENTS ne{};
    ASSERT_EQ(0, WSAEnumNetworkEvents(client.get(), event.get(), &ne));
    EXPECT_EQ(FD_WRITE, ne.lNetworkEvents);
    ASSERT_EQ(1, send(client.get(), "a", 1, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 100))
        << "a send that went: no FD_WRITE";

    g_send_errno = EAGAIN;
    g_send_faults = 1;
    EXPECT_EQ(SOCKET_ERROR, send(client.get(), "b", 1, 0));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 5000));
    ASSERT_EQ(0, WSAEnumNetworkEvents(client.get(), event.get(), &ne));
    EXPECT_EQ(FD_WRITE, ne.lNetworkEvents);
    EXPECT_EQ(0, ne.iErrorCode[FD_WRITE_BIT]);
}
