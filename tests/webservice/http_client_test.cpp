// The HTTP client (CAtlHttpClientT) over a scripted fake socket: the exact bytes it writes and in
// which blocks, status evaluation, redirects and when the connection is closed.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "webservice/AtlHttpClient.h"

using k47::http::HttpRequestOptions;

namespace {

// A socket that plays a script of reads and records every call. A read after the script is used
// up fails. A read asks for at most the requested size, the rest of an entry stays for the next
// read.
class FakeSocket {
  public:
    static constexpr char kScheme[] = "http";

    bool Connect(LPCSTR host, unsigned short port) {
        if (connected)
            return true;
        connects.push_back(std::string(host) + ":" + std::to_string(port));
        connected = true;
        return true;
    }
    bool Write(WSABUF* buffers, int count, DWORD* sent) {
        writes.push_back({});
        *sent = 0;
        for (int i = 0; i < count; ++i) {
            writes.back().append(buffers[i].buf, buffers[i].len);
            *sent += buffers[i].len;
        }
        return connected;
    }
    bool Read(BYTE* buffer, DWORD* size) {
        if (!connected || reads.empty())
            return false;
        std::string& next = reads.front();
        DWORD n = DWORD(std::min<size_t>(*size, next.size()));
        std::copy(next.begin(), next.begin() + n, buffer);
        next.erase(0, n);
        if (next.empty())
            reads.pop_front();
        *size = n;
        return true;
    }
    void Close() {
        if (connected)
            ++closes;
        connected = false;
    }
    bool IsConnected() const { return connected; }
    void SetReceiveTimeout(DWORD ms) { receiveTimeout = ms; }

    std::deque<std::string> reads;
    std::vector<std::string> writes;
    std::vector<std::string> connects;
    int closes = 0;
    bool connected = false;
    DWORD receiveTimeout = 0;
};

using Client = CAtlHttpClientT<FakeSocket>;

std::string AllWritten(const Client& c) {
    std::string all;
    for (const auto& w : c.writes)
        all += w;
    return all;
}

TEST(HttpClient, WritesTheRequestTextAndBodyInBlocks) {
    Client c;
    c.reads = {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"};
    std::string body(10000, 'b');
    HttpRequestOptions o;
    o.method = "POST";
    o.extraHeaders = "SOAPAction: \"urn:x/Op\"\r\nAccept: text/xml\r\n";
    o.dataType = "text/xml; charset=utf-8";
    o.body = reinterpret_cast<const BYTE*>(body.data());
    o.dataLength = DWORD(body.size());
    ASSERT_TRUE(c.PerformRequest("http://srv:81/VLTControl/VLTControl.asmx?x=1", &o));
    const std::string text =
        "POST /VLTControl/VLTControl.asmx?x=1 HTTP/1.1\r\n"
        "Content-Length: 10000\r\n"
        "Content-Type: text/xml; charset=utf-8\r\n"
        "SOAPAction: \"urn:x/Op\"\r\nAccept: text/xml\r\n"
        "Host: srv\r\n"
        "User-Agent: Microsoft-ATL-Native/10.00\r\n\r\n";
    ASSERT_EQ(4u, c.writes.size());
    EXPECT_EQ(text, c.writes[0]);
    EXPECT_EQ(4096u, c.writes[1].size());
    EXPECT_EQ(4096u, c.writes[2].size());
    EXPECT_EQ(10000u - 8192u, c.writes[3].size());
    EXPECT_EQ(std::vector<std::string>{"srv:81"}, c.connects);
    EXPECT_EQ(10000u, c.receiveTimeout);

    // Without the block flag the text and the body go in one write; a GET has no length line.
    Client d;
    d.reads = {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
               "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"};
    o.flags = k47::http::kHttpFollowRedirects | k47::http::kHttpEvaluateStatus;
    o.timeoutMs = 1234;
    ASSERT_TRUE(d.PerformRequest("http://srv/p", &o));
    ASSERT_EQ(1u, d.writes.size());
    std::string expected = text;
    expected.replace(expected.find("/VLTControl"),
                     std::string("/VLTControl/VLTControl.asmx?x=1").size(), "/p");
    EXPECT_EQ(expected + body, d.writes[0]);
    EXPECT_EQ(1234u, d.receiveTimeout);
    EXPECT_EQ(std::vector<std::string>{"srv:80"}, d.connects);

    Client g;
    g.reads = {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"};
    ASSERT_TRUE(g.PerformRequest("http://h"));
    EXPECT_EQ("GET / HTTP/1.1\r\nHost: h\r\nUser-Agent: Microsoft-ATL-Native/10.00\r\n\r\n",
              AllWritten(g));
}

TEST(HttpClient, EvaluatesTheStatus) {
    struct Case {
        int status;
        bool ok;
    } cases[] = {{200, true},  {201, true},  {202, true},  {204, true},  {206, true},
                 {304, true},  {305, true},  {207, false}, {300, false}, {301, true},
                 {302, true},  {303, true},  {307, false}, {400, false}, {401, false},
                 {404, false}, {407, false}, {500, false}, {503, false}};
    for (const auto& c : cases) {
        Client client;
        // 301-303 without a Location end the redirect step with success and the status in place.
        client.reads = {"HTTP/1.1 " + std::to_string(c.status) +
                        " X\r\nContent-Length: 2\r\n\r\nhi"};
        EXPECT_EQ(c.ok, client.PerformRequest("http://h/")) << c.status;
        EXPECT_EQ(c.status, client.GetStatus()) << c.status;
        EXPECT_EQ(c.ok, client.IsConnected()) << c.status;
        EXPECT_EQ(1u, client.writes.size())
            << c.status << ": no second request (credentials, redirect)";
    }
    // Without the evaluate flag any status is a success.
    Client raw;
    raw.reads = {"HTTP/1.1 404 X\r\nContent-Length: 0\r\n\r\n"};
    HttpRequestOptions o;
    o.flags = 0;
    EXPECT_TRUE(raw.PerformRequest("http://h/", &o));
    EXPECT_EQ(404, raw.GetStatus());
}

TEST(HttpClient, FollowsRedirects) {
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nDONE";
    std::string body = "<env/>";
    HttpRequestOptions o;
    o.method = "POST";
    o.body = reinterpret_cast<const BYTE*>(body.data());
    o.dataLength = DWORD(body.size());

    // Same host and port: the connection is reused, the request and its body go again.
    Client same;
    same.reads = {"HTTP/1.1 302 Found\r\nLocation: /other/path\r\nContent-Length: 0\r\n\r\n", ok};
    ASSERT_TRUE(same.PerformRequest("http://srv:81/VLTControl/VLTControl.asmx", &o));
    EXPECT_EQ(200, same.GetStatus());
    ASSERT_EQ(4u, same.writes.size());
    EXPECT_EQ(0u, same.writes[2].find("POST /other/path HTTP/1.1\r\nContent-Length: 6\r\n"));
    EXPECT_EQ(body, same.writes[3]);
    EXPECT_EQ(std::vector<std::string>{"srv:81"}, same.connects);

    // "Connection: close" on the redirect: close and connect again.
    Client closing;
    closing.reads = {
        "HTTP/1.1 301 Moved\r\nLocation: /x\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", ok};
    ASSERT_TRUE(closing.PerformRequest("http://srv/a", &o));
    EXPECT_EQ((std::vector<std::string>{"srv:80", "srv:80"}), closing.connects);
    EXPECT_EQ(1, closing.closes);

    // Another host: connect there, with the options' port when the location names none.
    Client moved;
    moved.reads = {
        "HTTP/1.1 303 See Other\r\nLocation: http://elsewhere/y\r\nContent-Length: 0\r\n\r\n", ok};
    o.port = 8080;
    ASSERT_TRUE(moved.PerformRequest("http://srv:81/a", &o));
    EXPECT_EQ((std::vector<std::string>{"srv:81", "elsewhere:8080"}), moved.connects);
    EXPECT_EQ("elsewhere", moved.GetCurrentUrl().GetHostName());

    // Once the new request is sent the redirect reports success; the caller judges the status.
    Client notFound;
    notFound.reads = {"HTTP/1.1 302 Found\r\nLocation: /gone\r\nContent-Length: 0\r\n\r\n",
                      "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"};
    EXPECT_TRUE(notFound.PerformRequest("http://srv/a", &o));
    EXPECT_EQ(404, notFound.GetStatus());
    EXPECT_FALSE(notFound.IsConnected());

    // A redirected response that cannot be read leaves no status.
    Client broken;
    broken.reads = {"HTTP/1.1 302 Found\r\nLocation: /gone\r\nContent-Length: 0\r\n\r\n",
                    "garbage"};
    EXPECT_TRUE(broken.PerformRequest("http://srv/a", &o));
    EXPECT_EQ(-1, broken.GetStatus());

    // A location with a scheme the socket cannot speak fails.
    Client secure;
    secure.reads = {"HTTP/1.1 302 Found\r\nLocation: https://srv/a\r\nContent-Length: 0\r\n\r\n"};
    EXPECT_FALSE(secure.PerformRequest("http://srv/a", &o));
    EXPECT_EQ(2u, secure.writes.size());

    // Without the follow flag a redirect fails.
    Client unfollowed;
    unfollowed.reads = {"HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n"};
    o.flags = k47::http::kHttpEvaluateStatus | k47::http::kHttpSendBlocks;
    EXPECT_FALSE(unfollowed.PerformRequest("http://srv/a", &o));
}

TEST(HttpClient, RedirectLoopsStop) {
    Client c;
    for (int i = 0; i < 20; ++i)
        c.reads.push_back("HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(c.PerformRequest("http://srv/a"));
    // The first request and kMaxRedirects redirected ones; the last redirect is refused.
    EXPECT_EQ(size_t(1 + k47::http::kMaxRedirects), c.writes.size());
    EXPECT_FALSE(c.IsConnected());
}

}  // namespace
