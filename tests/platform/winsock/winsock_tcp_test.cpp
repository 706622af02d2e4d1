// Winsock conformance on loopback TCP, in the way the event-synchronised socket uses it: three
// events registered in turn, WSAConnect with FD_CONNECT, overlapped WSASend/WSARecv completed
// during waits, WSAGetOverlappedResult, abandoned operations that must never write again, and
// FD_ACCEPT/FD_CLOSE.
#include <atomic>
#include <string>
#include <vector>

#include "winsock_test_util.h"

using namespace k47test;

namespace {

class WinsockTcp : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, session_.result()); }

    // What the event-synchronised socket's Attach does: read and write events set, then three
    // selections in turn, so that only the connect event stays bound to network events.
    void Attach(SOCKET s) {
        read_.reset(WSACreateEvent());
        write_.reset(WSACreateEvent());
        connect_.reset(WSACreateEvent());
        ASSERT_TRUE(WSASetEvent(read_.get()));
        ASSERT_TRUE(WSASetEvent(write_.get()));
        ASSERT_EQ(0, WSAEventSelect(s, read_.get(), FD_READ));
        ASSERT_EQ(0, WSAEventSelect(s, write_.get(), FD_WRITE));
        ASSERT_EQ(0, WSAEventSelect(s, connect_.get(), FD_CONNECT));
    }

    // WSAConnect, the wait for the connect event, and the enumeration without a reset; returns
    // the FD_CONNECT error slot (or -1 when the event did not come).
    int ConnectLikeTheSocketClass(SOCKET s, USHORT port) {
        sockaddr_in a = Loopback(port);
        EXPECT_EQ(SOCKET_ERROR,
                  WSAConnect(s, Sa(a), sizeof(a), nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError()) << "not WSAEINPROGRESS";
        if (WaitForSingleObject(connect_.get(), 5000) != WAIT_OBJECT_0) {
            return -1;
        }
        WSANETWORKEVENTS ne;
        for (int& e : ne.iErrorCode) {
            e = 0x5A5A;
        }
        EXPECT_EQ(0, WSAEnumNetworkEvents(s, nullptr, &ne));
        EXPECT_EQ(FD_CONNECT, ne.lNetworkEvents);
        for (int i = 0; i < FD_MAX_EVENTS; ++i) {
            if (i != FD_CONNECT_BIT) {
                EXPECT_EQ(0x5A5A, ne.iErrorCode[i]) << "slot " << i << " was written";
            }
        }
        return (ne.lNetworkEvents & FD_CONNECT) ? ne.iErrorCode[FD_CONNECT_BIT] : -1;
    }

    WinsockSession session_;
    UniqueHandle read_, write_, connect_;
};

std::string Canary(size_t n) {
    return std::string(n, '\xC5');
}

}  // namespace

TEST_F(WinsockTcp, ConnectToAListenerReportsFdConnectWithErrorZero) {
    UniqueSocket listener = Listener();
    UniqueHandle accept_event(WSACreateEvent());
    ASSERT_EQ(0, WSAEventSelect(listener.get(), accept_event.get(), FD_ACCEPT));
    UniqueSocket client(
        WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
    Attach(client.get());

    EXPECT_EQ(0, ConnectLikeTheSocketClass(client.get(), PortOf(listener.get())));
    // Enumerated without an event: the connect event stays set, as every Read and Write of the
    // socket class waits on it first.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(connect_.get(), 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(connect_.get(), 0));
    // The events used for overlapped I/O kept the state Attach gave them.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(read_.get(), 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(write_.get(), 0));

    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(accept_event.get(), 5000));
    WSANETWORKEVENTS ne{};
    ASSERT_EQ(0, WSAEnumNetworkEvents(listener.get(), accept_event.get(), &ne));
    EXPECT_EQ(FD_ACCEPT, ne.lNetworkEvents);
    sockaddr_in peer{};
    int len = sizeof(peer);
    UniqueSocket server(accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &len));
    ASSERT_NE(INVALID_SOCKET, server.get()) << WSAGetLastError();
    EXPECT_EQ(PortOf(client.get()), ntohs(peer.sin_port));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(accept_event.get(), 100)) << "nothing more pending";

    sockaddr_in name{};
    len = sizeof(name);
    ASSERT_EQ(0, getpeername(client.get(), reinterpret_cast<sockaddr*>(&name), &len));
    EXPECT_EQ(PortOf(listener.get()), ntohs(name.sin_port));
    // A second connect on a connected socket.
    EXPECT_EQ(SOCKET_ERROR, connect(client.get(), Sa(name), sizeof(name)));
    EXPECT_EQ(WSAEISCONN, WSAGetLastError());
}

// The Read of the socket class: reset, overlapped WSARecv pending, the peer sends later, the
// wait on the read event performs the receive, WSAGetOverlappedResult reports it.
TEST_F(WinsockTcp, OverlappedReceiveCompletesDuringTheWaitAndReportsInBothModes) {
    auto [client, server] = ConnectedPair();
    UniqueHandle event(WSACreateEvent());
    ASSERT_TRUE(WSASetEvent(event.get()));

    char buffer[64] = {};
    WSABUF b{sizeof(buffer), buffer};
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    DWORD flags = 0, bytes = 0;
    ASSERT_EQ(SOCKET_ERROR, WSARecv(client.get(), &b, 1, nullptr, &flags, &ov, nullptr));
    ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 0)) << "a pending start resets it";
    EXPECT_FALSE(WSAGetOverlappedResult(client.get(), &ov, &bytes, FALSE, &flags));
    EXPECT_EQ(WSA_IO_INCOMPLETE, WSAGetLastError());

    ASSERT_EQ(5, send(server.get(), "hello", 5, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 5000));
    ASSERT_TRUE(WSAGetOverlappedResult(client.get(), &ov, &bytes, FALSE, &flags));
    EXPECT_EQ(5u, bytes);
    EXPECT_EQ("hello", std::string(buffer, 5));

    // fWait TRUE: the call itself waits and performs the receive when the peer sends.
    std::memset(buffer, 0, sizeof(buffer));
    ASSERT_EQ(SOCKET_ERROR, WSARecv(client.get(), &b, 1, nullptr, &flags, &ov, nullptr));
    ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
    const DWORD me = GetCurrentThreadId();
    SOCKET peer = server.get();
    TestThread sender([&] {
        if (!WaitUntilBlockedInPoll(me)) {
            return 1u;
        }
        return send(peer, "world!", 6, 0) == 6 ? 0u : 2u;
    });
    bytes = 0;
    ASSERT_TRUE(WSAGetOverlappedResult(client.get(), &ov, &bytes, TRUE, &flags))
        << WSAGetLastError();
    EXPECT_EQ(6u, bytes);
    EXPECT_EQ("world!", std::string(buffer, 6));
    ASSERT_TRUE(sender.Join());
    DWORD code = 9;
    GetExitCodeThread(sender.handle(), &code);
    EXPECT_EQ(0u, code);

    // Data already queued: immediate completion, event set, counters filled at once.
    ASSERT_EQ(3, send(server.get(), "abc", 3, 0));
    ASSERT_EQ(0, WaitForSingleObject(event.get(), 0));  // set by the last completion
    ASSERT_TRUE(WSAResetEvent(event.get()));
    // Wait until the bytes are queued on our side, so the start cannot find them missing.
    ULONG queued = 0;
    for (Stopwatch w; queued < 3 && w.ElapsedMs() < 5000;) {
        ioctlsocket(client.get(), FIONREAD, &queued);
    }
    DWORD received = 0;
    ASSERT_EQ(0, WSARecv(client.get(), &b, 1, &received, &flags, &ov, nullptr))
        << WSAGetLastError();
    EXPECT_EQ(3u, received);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0));
    ASSERT_TRUE(WSAGetOverlappedResult(client.get(), &ov, &bytes, FALSE, &flags));
    EXPECT_EQ(3u, bytes);
}

// A receive abandoned after a time-out: once the socket is closed (or the event reset), nothing
// may write into its buffer any more, whoever waits on the event afterwards.
TEST_F(WinsockTcp, AbandonedOverlappedReceiveNeverWritesItsBuffer) {
    for (bool by_close : {true, false}) {
        SCOPED_TRACE(by_close ? "cancelled by closesocket" : "cancelled by WSAResetEvent");
        auto [client, server] = ConnectedPair();
        UniqueHandle event(WSACreateEvent());
        std::string buffer = Canary(32);
        WSABUF b{static_cast<ULONG>(buffer.size()), buffer.data()};
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        DWORD flags = 0;
        ASSERT_EQ(SOCKET_ERROR, WSARecv(client.get(), &b, 1, nullptr, &flags, &ov, nullptr));
        ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
        const OVERLAPPED pending_state = ov;
        ASSERT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 100));  // the caller's time-out

        SOCKET s = client.get();
        if (by_close) {
            ASSERT_EQ(0, closesocket(client.release()));
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0))
                << "an aborted operation signals its event";
            ASSERT_TRUE(WSAResetEvent(event.get()));
        } else {
            ASSERT_TRUE(WSAResetEvent(event.get()));
        }
        ASSERT_EQ(4, send(server.get(), "LATE", 4, 0));
        // Anyone waiting on the event now must not perform the dead receive.
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 300));
        EXPECT_EQ(Canary(32), buffer);
        EXPECT_EQ(0, std::memcmp(&pending_state, &ov, sizeof(ov))) << "the OVERLAPPED was written";

        DWORD bytes = 0;
        EXPECT_FALSE(WSAGetOverlappedResult(s, &ov, &bytes, FALSE, &flags));
        EXPECT_EQ(by_close ? WSAENOTSOCK : WSA_OPERATION_ABORTED, WSAGetLastError());
        if (!by_close) {
            // The data is still in the socket for the next receive.
            char next[8] = {};
            ULONG blocking = 0;
            ASSERT_EQ(0, ioctlsocket(s, FIONBIO, &blocking));
            EXPECT_EQ(4, recv(s, next, sizeof(next), 0));
            EXPECT_EQ("LATE", std::string(next, 4));
            EXPECT_EQ(Canary(32), buffer);
        }
    }
}

// FD_CLOSE on the peer's graceful close, with FD_READ for the data sent before it; a blocking
// receive then reads the data and 0 at the end.
TEST_F(WinsockTcp, PeerCloseIsReportedOnceAsFdCloseWithErrorZero) {
    auto [client, server] = ConnectedPair();
    UniqueHandle event(WSACreateEvent());
    ASSERT_EQ(0, WSAEventSelect(client.get(), event.get(), FD_READ | FD_CLOSE));
    ASSERT_EQ(4, send(server.get(), "bye!", 4, 0));
    server.reset();

    LONG seen = 0;
    WSANETWORKEVENTS ne{};
    for (Stopwatch w; seen != (FD_READ | FD_CLOSE) && w.ElapsedMs() < 5000;) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 5000));
        ASSERT_EQ(0, WSAEnumNetworkEvents(client.get(), event.get(), &ne));
        seen |= ne.lNetworkEvents;
        if (ne.lNetworkEvents & FD_CLOSE) {
            EXPECT_EQ(0, ne.iErrorCode[FD_CLOSE_BIT]);
        }
    }
    EXPECT_EQ(FD_READ | FD_CLOSE, seen);
    char buf[8];
    EXPECT_EQ(4, recv(client.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(0, recv(client.get(), buf, sizeof(buf), 0)) << "end of stream";
    // FD_CLOSE is one-shot and the end of stream is no data: nothing more is recorded.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 200));
}

// Selections whose conditions stand for good on Linux (a fresh socket, a failed connect, a closed
// connection already reported) must leave a waiter asleep, not spinning.
TEST_F(WinsockTcp, StandingConditionsDoNotMakeAWaiterSpin) {
    USHORT closed_port;
    {
        UniqueSocket probe = Listener();
        closed_port = PortOf(probe.get());
    }
    UniqueSocket fresh(socket(AF_INET, SOCK_STREAM, 0));
    UniqueSocket failed(socket(AF_INET, SOCK_STREAM, 0));
    auto [client, server] = ConnectedPair();
    UniqueHandle e_fresh(WSACreateEvent()), e_failed(WSACreateEvent()), e_closed(WSACreateEvent());
    ASSERT_EQ(0, WSAEventSelect(fresh.get(), e_fresh.get(), FD_ALL_EVENTS));
    ASSERT_EQ(0, WSAEventSelect(failed.get(), e_failed.get(), FD_ALL_EVENTS));
    ASSERT_EQ(0, WSAEventSelect(client.get(), e_closed.get(), FD_ALL_EVENTS));
    sockaddr_in a = Loopback(closed_port);
    ASSERT_EQ(SOCKET_ERROR, connect(failed.get(), Sa(a), sizeof(a)));
    server.reset();
    HANDLE set[3] = {e_fresh.get(), e_failed.get(), e_closed.get()};
    // Drain what is due once (FD_CONNECT of the failure, FD_WRITE and FD_CLOSE of the client).
    for (Stopwatch w; w.ElapsedMs() < 2000;) {
        DWORD r = WaitForMultipleObjects(3, set, FALSE, 300);
        if (r == WAIT_TIMEOUT) {
            break;
        }
        WSANETWORKEVENTS ne{};
        SOCKET owners[3] = {fresh.get(), failed.get(), client.get()};
        ASSERT_EQ(0, WSAEnumNetworkEvents(owners[r - WAIT_OBJECT_0], set[r - WAIT_OBJECT_0], &ne));
    }
    double cpu = ThreadCpuMs();
    Stopwatch watch;
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, set, FALSE, 400));
    double used = ThreadCpuMs() - cpu;
    EXPECT_GE(watch.ElapsedMs(), 350.0);
    EXPECT_LT(used, 150.0) << "the waiter spun for " << used << " ms of CPU";
}

// A blocking receive on another thread ends with WSAEINTR when the socket is closed.
TEST_F(WinsockTcp, ClosesocketEndsABlockingReceiveOnAnotherThread) {
    auto [client, server] = ConnectedPair();
    SOCKET s = client.get();
    std::atomic<int> result{1}, error{0};
    TestThread reader([&] {
        char buf[4];
        result = recv(s, buf, sizeof(buf), 0);
        error = WSAGetLastError();
        return 0u;
    });
    ASSERT_TRUE(WaitUntilBlockedInPoll(reader.id()));
    ASSERT_EQ(0, closesocket(client.release()));
    ASSERT_TRUE(reader.Join(10000));
    EXPECT_EQ(SOCKET_ERROR, result.load());
    EXPECT_EQ(WSAEINTR, error.load());
}
