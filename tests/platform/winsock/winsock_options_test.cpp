// Winsock shutdown and WSAWaitForMultipleEvents.
#include <string>

#include "winsock_test_util.h"

using namespace k47test;

namespace {

class WinsockMisc : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, session_.result()); }
    WinsockSession session_;
};

}  // namespace

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
