// The HTTP client over ZEvtSyncSocket2 against a scripted loopback server: the socket's error
// numbers, the connect and receive time-outs, response shapes arriving over a real connection
// (slowly, in pieces), when the connection is closed, and that a peer that went away never
// raises SIGPIPE.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>

#include "tests/support/ScriptedHttpServer.h"
#include "webservice/AtlHttpClient.h"
#include "webservice/ZEvtSyncSocket2.h"

using k47::http::HttpRequestOptions;
using k47::http::ReadResult;
using k47test::HttpReply;
using k47test::ScriptedHttpServer;
using k47test::ScriptedReply;
using Clock = std::chrono::steady_clock;

namespace {

using Client = CAtlHttpClientT<ZEvtSyncSocket2>;

std::string Url(uint16_t port, const char* path = "/VLTControl/VLTControl.asmx") {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string Body(const Client& c) {
    return std::string(reinterpret_cast<const char*>(c.GetBody()), c.GetBodyLength());
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(ZEvtSyncSocket2, RecordsWinsockErrors) {
    ZEvtSyncSocket2 s;
    EXPECT_EQ(0u, s.GetLastError());
    EXPECT_FALSE(s.Attach(INVALID_SOCKET));
    EXPECT_EQ(DWORD(WSAENOTSOCK), s.GetLastError());

    BYTE buffer[16];
    DWORD size = sizeof buffer;
    EXPECT_FALSE(s.Read(buffer, &size));
    EXPECT_EQ(DWORD(WSAENOTCONN), s.GetLastError());
    DWORD length = 4;
    EXPECT_FALSE(s.Write(buffer, &length));
    EXPECT_EQ(DWORD(WSAENOTCONN), s.GetLastError());

    ADDRINFOA info{};
    info.ai_family = AF_INET;
    info.ai_socktype = SOCK_STREAM;
    info.ai_protocol = IPPROTO_TCP;
    ASSERT_TRUE(s.Create(&info));
    EXPECT_FALSE(s.Create(&info));
    EXPECT_EQ(DWORD(WSAEALREADY), s.GetLastError());
    s.Close();
    EXPECT_EQ(INVALID_SOCKET, s.GetSocketHandle());

    // Nobody listens on a port we just freed: the connect is refused.
    uint16_t port;
    {
        ScriptedHttpServer server;
        port = server.Port();
    }
    EXPECT_FALSE(s.Connect("127.0.0.1", port));
    EXPECT_EQ(DWORD(WSAECONNREFUSED), s.GetLastError());
    EXPECT_FALSE(s.IsConnected());
    EXPECT_FALSE(s.Connect("host.invalid", 80));
    EXPECT_NE(0u, s.GetLastError());
}

TEST(ZEvtSyncSocket2, ConnectToAnUnansweringHostTakesTheConnectTimeout) {
    k47test::UnansweredListener listener;
    ASSERT_TRUE(listener.Ready()) << "could not fill the listener's accept queue";
    ASSERT_EQ(1000u, ZEvtSyncSocket2::GetConnectTimeout());
    Client c;
    auto start = Clock::now();
    EXPECT_FALSE(c.PerformRequest(Url(listener.Port()).c_str()));
    double seconds = SecondsSince(start);
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 5.0) << "not the 10 s of the other time-outs";
    EXPECT_TRUE(c.TimedOut());
    EXPECT_EQ(-1, c.GetStatus());
}

TEST(HttpLoopback, ReceiveTimeoutEndsAWaitForTheResponse) {
    HttpRequestOptions o;
    o.timeoutMs = 300;
    {
        ScriptedHttpServer silent;
        ScriptedReply nothing;
        nothing.after = ScriptedReply::After::KeepOpen;
        silent.AddReply(nothing);
        Client client;
        auto start = Clock::now();
        EXPECT_FALSE(client.PerformRequest(Url(silent.Port()).c_str(), &o));
        EXPECT_GE(SecondsSince(start), 0.25);
        EXPECT_LT(SecondsSince(start), 5.0);
        EXPECT_EQ(ReadResult::SocketReadFailed, client.GetLastReadResult());
        EXPECT_EQ(300u, ZEvtSyncSocket2::GetReceiveTimeout());
    }
    {
        // A body without length that stops coming is accepted when the time-out passes.
        ScriptedHttpServer stalls;
        ScriptedReply partial;
        partial.pieces = {"HTTP/1.1 200 OK\r\n\r\npartial"};
        partial.after = ScriptedReply::After::KeepOpen;
        stalls.AddReply(partial);
        Client client;
        EXPECT_TRUE(client.PerformRequest(Url(stalls.Port()).c_str(), &o));
        EXPECT_EQ("partial", Body(client));
    }
    ZEvtSyncSocket2::SetReceiveTimeout(10000);
}

std::atomic<int> g_sigpipes{0};

TEST(HttpLoopback, APeerThatWentAwayNeverRaisesSigpipe) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) { g_sigpipes.fetch_add(1); };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGPIPE, &action, &previous));

    ScriptedHttpServer server;
    ScriptedReply early;  // answers and closes without reading the request
    early.readRequest = false;
    early.pieces = {"HTTP/1.1 500 Gone\r\nContent-Length: 0\r\n\r\n"};
    server.AddReply(early);
    std::string body(4 << 20, 'x');
    HttpRequestOptions o;
    o.method = "POST";
    o.body = reinterpret_cast<const BYTE*>(body.data());
    o.dataLength = DWORD(body.size());
    Client client;
    EXPECT_FALSE(client.PerformRequest(Url(server.Port()).c_str(), &o));
    EXPECT_EQ(0, g_sigpipes.load());
    sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
