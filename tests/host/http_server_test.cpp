// The host HTTP layer on real sockets: listeners on IPv4 and IPv6 loopback with an ephemeral port,
// refusals as they go over the wire (the Allow header, 413 at the limit's edge), handlers that
// throw, Basic authentication, client address rules, and the control service's route hosted by
// HostServices.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>

#include "host/HostServices.h"
#include "host/Installation.h"
#include "host/http/HttpServer.h"
#include "host/http/LogThrottle.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/TestUtil.h"
#include "webservice/VLTControlNamespace.h"

using k47host::http::HttpRequest;
using k47host::http::HttpResponse;
using k47host::http::HttpServer;
using k47host::http::HttpServerSettings;
using k47host::http::PathMatch;
using k47host::http::Route;
using k47host::http::Router;
using k47test::Exchange;
using k47test::HasIpv6Loopback;
using k47test::Reply;
using k47test::Request;

namespace {

constexpr size_t kLimit = 16;

// "/echo" answers POST with what it saw; "/throw/..." throw what their names say.
Router TestRouter() {
    Router router;
    Route echo;
    echo.path = "/echo";
    echo.methods = {"POST"};
    echo.maxBodyBytes = kLimit;
    echo.handler = [](const HttpRequest& request) {
        HttpResponse response = HttpResponse::Text(
            200, request.method + " " + request.body + " from " + request.clientAddress +
                     (request.user.empty() ? "" : " as " + request.user));
        response.headers.emplace_back("X-Echo-Bytes", std::to_string(request.bodyBytes));
        return response;
    };
    router.Add(echo);
    Route thrower;
    thrower.match = PathMatch::kPrefix;
    thrower.path = "/throw/";
    thrower.methods = {"GET"};
    thrower.handler = [](const HttpRequest& request) -> HttpResponse {
        if (request.path == "/throw/int")
            throw 42;
        if (request.path == "/throw/alloc")
            throw std::bad_alloc();
        throw std::runtime_error("the camera fell off");
    };
    router.Add(thrower);
    return router;
}

HttpServerSettings Settings(const std::string& listen) {
    HttpServerSettings settings;
    settings.listenAddress = listen;
    settings.port = 0;
    settings.limits.threads = 2;
    return settings;
}

}  // namespace

TEST(HttpListenAddress, AcceptsIpv4AndIpv6WithOrWithoutBrackets) {
    const struct {
        const char* text;
        int family;  // 0: refused
    } cases[] = {
        {"0.0.0.0", AF_INET}, {"127.0.0.1", AF_INET},
        {"::", AF_INET6},     {"::1", AF_INET6},
        {"[::1]", AF_INET6},  {"[::]", AF_INET6},
        {"localhost", 0},     {"[127.0.0.1]", 0},
        {"127.0.0", 0},       {"", 0},
        {"[::1", 0},          {"::1]", 0},
    };
    for (const auto& c : cases) {
        sockaddr_storage address{};
        std::string error;
        bool parsed = k47host::http::ParseListenAddress(c.text, 8080, &address, &error);
        EXPECT_EQ(parsed, c.family != 0) << c.text;
        if (parsed) {
            EXPECT_EQ(address.ss_family, c.family) << c.text;
            const uint16_t port = c.family == AF_INET
                                      ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                      : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port;
            EXPECT_EQ(ntohs(port), 8080) << c.text;
        } else {
            EXPECT_NE(error.find(c.text), std::string::npos) << error;
        }
    }
    HttpServer unstarted(Settings("not-an-address"), Router());
    std::string error;
    EXPECT_FALSE(unstarted.Start(&error));
    EXPECT_NE(error.find("not-an-address"), std::string::npos) << error;
}

TEST(HttpServer, ServesAndRefusesOverIpv4Loopback) {
    HttpServer server(Settings("127.0.0.1"), TestRouter());
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    ASSERT_NE(server.Port(), 0);
    EXPECT_EQ(server.BaseUrl(), "http://127.0.0.1:" + std::to_string(server.Port()));

    Reply reply = Exchange(AF_INET, server.Port(), Request("POST", "/echo", "hello"));
    EXPECT_EQ(reply.status, 200u) << reply.head;
    EXPECT_EQ(reply.body, "POST hello from 127.0.0.1");
    EXPECT_EQ(reply.Header("Content-Type"), "text/plain");

    reply = Exchange(AF_INET, server.Port(), Request("GET", "/echo"));
    EXPECT_EQ(reply.status, 405u) << reply.head;
    EXPECT_EQ(reply.Header("Allow"), "POST") << reply.head;
    reply = Exchange(AF_INET, server.Port(), Request("POST", "/nowhere", "x"));
    EXPECT_EQ(reply.status, 404u) << reply.head;

    // The whole body counts, also what is beyond the limit and no longer kept.
    const std::string atLimit(kLimit, 'a');
    reply = Exchange(AF_INET, server.Port(), Request("POST", "/echo", atLimit));
    EXPECT_EQ(reply.status, 200u) << reply.head;
    EXPECT_EQ(reply.Header("X-Echo-Bytes"), std::to_string(kLimit));
    EXPECT_NE(reply.body.find(atLimit), std::string::npos);
    reply = Exchange(AF_INET, server.Port(), Request("POST", "/echo", atLimit + "b"));
    EXPECT_EQ(reply.status, 413u) << reply.head;
    reply = Exchange(AF_INET, server.Port(), Request("POST", "/echo", std::string(200000, 'c')));
    EXPECT_EQ(reply.status, 413u) << reply.head;

    // Stopped: the port no longer answers.
    const uint16_t port = server.Port();
    server.Stop();
    server.Stop();
    EXPECT_EQ(Exchange(AF_INET, port, Request("POST", "/echo", "x")).status, 0u);
}

TEST(HttpServer, ListensOnIpv6LoopbackAndDualStack) {
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "this machine has no ::1";
    HttpServer v6only(Settings("[::1]"), TestRouter());
    std::string error;
    ASSERT_TRUE(v6only.Start(&error)) << error;
    EXPECT_EQ(v6only.BaseUrl(), "http://[::1]:" + std::to_string(v6only.Port()));
    Reply reply = Exchange(AF_INET6, v6only.Port(), Request("POST", "/echo", "six"));
    EXPECT_EQ(reply.status, 200u) << reply.head;
    EXPECT_EQ(reply.body, "POST six from ::1");
    reply = Exchange(AF_INET6, v6only.Port(), Request("GET", "/echo"));
    EXPECT_EQ(reply.status, 405u);
    EXPECT_EQ(reply.Header("Allow"), "POST");

    // "::" takes both families; an IPv4 client shows as IPv4-mapped.
    HttpServer both(Settings("::"), TestRouter());
    ASSERT_TRUE(both.Start(&error)) << error;
    reply = Exchange(AF_INET6, both.Port(), Request("POST", "/echo", "a"));
    EXPECT_EQ(reply.body, "POST a from ::1");
    reply = Exchange(AF_INET, both.Port(), Request("POST", "/echo", "b"));
    EXPECT_EQ(reply.body, "POST b from ::ffff:127.0.0.1");
}

TEST(HttpServer, HandlerExceptionsAreAnsweredLoggedAndServingGoesOn) {
    k47test::LogCapture log;
    HttpServer server(Settings("127.0.0.1"), TestRouter());
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const struct {
        const char* path;
        unsigned status;
        const char* logged;
    } cases[] = {
        {"/throw/int", 500, "GET /throw/int: an unknown exception; answered 500"},
        {"/throw/std", 500, "GET /throw/std: the camera fell off; answered 500"},
        {"/throw/alloc", 503, "GET /throw/alloc: out of memory; answered 503"},
    };
    for (int round = 0; round < 2; ++round) {  // more than once on each of the pool's threads
        for (const auto& c : cases) {
            Reply reply = Exchange(AF_INET, server.Port(), Request("GET", c.path));
            EXPECT_EQ(reply.status, c.status) << c.path;
            EXPECT_TRUE(log.Contains(c.logged)) << c.logged;
            // The handler's text stays in the log, not in the answer.
            EXPECT_EQ(reply.body.find("camera"), std::string::npos) << reply.body;
            EXPECT_EQ(Exchange(AF_INET, server.Port(), Request("POST", "/echo", "still")).body,
                      "POST still from 127.0.0.1");
        }
    }
}

TEST(HttpServer, BasicAuthenticationWhenUsersAreConfigured) {
    HttpServerSettings settings = Settings("127.0.0.1");
    settings.auth.users = {{"alice", "secret"}};
    HttpServer server(settings, TestRouter());
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    for (const char* credentials : {"", "Authorization: Basic YWxpY2U6c2VjcmV1\r\n",
                                    "Authorization: Bearer YWxpY2U6c2VjcmV0\r\n"}) {
        // Also for paths that do not exist: nothing about the routes is told to strangers.
        for (const char* path : {"/echo", "/nowhere"}) {
            Reply reply = Exchange(AF_INET, server.Port(), Request("POST", path, "x", credentials));
            EXPECT_EQ(reply.status, 401u) << credentials << path;
            EXPECT_EQ(reply.Header("WWW-Authenticate"),
                      "Basic realm=\"K47PTZ\", charset=\"UTF-8\"");
        }
    }
    Reply reply =
        Exchange(AF_INET, server.Port(),
                 Request("POST", "/echo", "x", "Authorization: Basic YWxpY2U6c2VjcmV0\r\n"));
    EXPECT_EQ(reply.status, 200u) << reply.head;
    EXPECT_EQ(reply.body, "POST x from 127.0.0.1 as alice");

    // Off by default: no header needed, none asked for.
    HttpServer open(Settings("127.0.0.1"), TestRouter());
    ASSERT_TRUE(open.Start(&error)) << error;
    reply = Exchange(AF_INET, open.Port(), Request("POST", "/echo", "x"));
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.Header("WWW-Authenticate"), "");
}

TEST(HttpServer, ClientsOutsideTheAllowedPrefixesAreAnswered403) {
    k47test::LogCapture log;
    HttpServerSettings settings = Settings("127.0.0.1");
    settings.auth.users = {{"alice", "secret"}};  // the address is refused before credentials
    std::string bad;
    ASSERT_TRUE(
        k47host::http::ParseAddressPrefixes("10.0.0.0/8 ::1", &settings.allowedClients, &bad));
    HttpServer closed(settings, TestRouter());
    std::string error;
    ASSERT_TRUE(closed.Start(&error)) << error;
    // Also for paths that do not exist, and never reaching the handler.
    for (const char* path : {"/echo", "/nowhere"}) {
        Reply reply = Exchange(AF_INET, closed.Port(), Request("POST", path, "x"));
        EXPECT_EQ(reply.status, 403u) << path;
        EXPECT_EQ(reply.body, "this address may not use this service\n");
        EXPECT_EQ(reply.Header("WWW-Authenticate"), "");
    }
    EXPECT_TRUE(log.Contains("POST /echo: client 127.0.0.1 is outside Allow; answered 403"));
    settings.auth.users.clear();

    ASSERT_TRUE(k47host::http::ParseAddressPrefixes("127.0.0.0/8", &settings.allowedClients, &bad));
    HttpServer opened(settings, TestRouter());
    ASSERT_TRUE(opened.Start(&error)) << error;
    EXPECT_EQ(Exchange(AF_INET, opened.Port(), Request("POST", "/echo", "x")).status, 200u);
}

// The control service through HostServices, as the host runs it: the SOAP answers and faults
// are those its clients have always had, also for oversize bodies (a Client fault, not a 413).
TEST(HostServices, ServeTheControlServiceOnEveryConfiguredListener) {
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        "<Installation><ControlService Listen=\"127.0.0.1\" Port=\"0\"/>"
        "<ControlService Listen=\"127.0.0.1\" Port=\"0\" Allow=\"10.0.0.0/8\"/>"
        "<ControlService Listen=\"127.0.0.1\" Port=\"0\">"
        "<User Name=\"op\" Password=\"pw\"/></ControlService></Installation>",
        &error))
        << error;
    ASSERT_EQ(installation.ServiceSettings().size(), 3u);
    k47host::HostServices services(installation.Server(), installation.ServiceSettings());
    ASSERT_TRUE(services.Start(&error)) << error;
    ASSERT_EQ(services.Listeners().size(), 3u);
    const uint16_t port = services.Listeners()[0]->Port();

    const std::string envelope =
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
        "<PtzCommand xmlns=\"" +
        std::string(k47::vlt::kServiceNamespace) +
        "\"><name>Nobody</name><cmd>1</cmd><arg>0</arg>"
        "</PtzCommand></soap:Body></soap:Envelope>";
    const std::string soapHeaders = "Content-Type: text/xml; charset=utf-8\r\nSOAPAction: \"" +
                                    std::string(k47::vlt::kServiceNamespace) + "/PtzCommand\"\r\n";
    for (const char* path : {"/VLTControl/VLTControl.asmx", "/site/VLTControl/VLTControl.asmx"}) {
        Reply reply = Exchange(AF_INET, port, Request("POST", path, envelope, soapHeaders));
        EXPECT_EQ(reply.status, 500u) << path;
        EXPECT_EQ(reply.Header("Content-Type"), "text/xml; charset=utf-8");
        EXPECT_NE(reply.body.find("<faultcode>soap:Client</faultcode>"), std::string::npos)
            << reply.body;
        EXPECT_NE(reply.body.find("unknown camera"), std::string::npos) << reply.body;
    }
    Reply reply = Exchange(AF_INET, port,
                           Request("POST", "/VLTControl/VLTControl.asmx",
                                   std::string(k47host::kMaxRequestBytes + 1, ' '), soapHeaders));
    EXPECT_EQ(reply.status, 500u);
    EXPECT_NE(reply.body.find("larger than this service accepts"), std::string::npos) << reply.body;
    reply = Exchange(AF_INET, port, Request("PUT", "/VLTControl/VLTControl.asmx", "x"));
    EXPECT_EQ(reply.status, 405u);
    EXPECT_EQ(reply.Header("Allow"), "POST, GET, HEAD");
    EXPECT_EQ(reply.body, "only POST, GET, HEAD are served\n");
    EXPECT_EQ(Exchange(AF_INET, port, Request("POST", "/elsewhere", "x")).status, 404u);

    // The file's access rules reach their listeners.
    EXPECT_EQ(Exchange(AF_INET, services.Listeners()[1]->Port(),
                       Request("POST", "/VLTControl/VLTControl.asmx", envelope, soapHeaders))
                  .status,
              403u);
    EXPECT_EQ(Exchange(AF_INET, services.Listeners()[2]->Port(),
                       Request("POST", "/VLTControl/VLTControl.asmx", envelope, soapHeaders))
                  .status,
              401u);
    EXPECT_EQ(Exchange(AF_INET, services.Listeners()[2]->Port(),
                       Request("POST", "/VLTControl/VLTControl.asmx", envelope,
                               soapHeaders + "Authorization: Basic b3A6cHc=\r\n"))
                  .status,
              500u);  // through to the service: the camera is unknown

    services.Stop();
    EXPECT_TRUE(services.Listeners().empty());
    EXPECT_EQ(Exchange(AF_INET, port,
                       Request("POST", "/VLTControl/VLTControl.asmx", envelope, soapHeaders))
                  .status,
              0u);
}

TEST(HostServices, RefuseUnusableAccessSettingsWithTheLine) {
    const struct {
        const char* xml;
        const char* expected;
    } cases[] = {
        {"<Installation><ControlService Port=\"80\" Allow=\"10.0.0.0/8 lan\"/></Installation>",
         "\"lan\" is none"},
        {"<Installation><ControlService Port=\"80\" Allow=\" \"/></Installation>",
         "Allow names no network"},
        {"<Installation><ControlService Port=\"80\"><User Name=\"a:b\" Password=\"x\"/>"
         "</ControlService></Installation>",
         "a User needs"},
        {"<Installation><ControlService Port=\"80\"><User Name=\"a\"/>"
         "</ControlService></Installation>",
         "a User needs"},
    };
    for (const auto& c : cases) {
        k47host::Installation installation;
        std::string error;
        EXPECT_FALSE(installation.LoadText(c.xml, &error)) << c.xml;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    }
}

// One line per kind and window; the next one let through counts what was left out.
TEST(LogThrottle, OneLinePerKindAndWindowWithTheCountLeftOut) {
    using k47host::http::LogThrottle;
    using std::chrono::milliseconds;
    LogThrottle throttle(milliseconds(10000));
    const LogThrottle::Clock::time_point t0{};
    const char a = 0, b = 0;
    EXPECT_EQ(throttle.Admit(&a, t0), 0u);
    EXPECT_EQ(throttle.Admit(&b, t0), 0u);  // kinds apart
    EXPECT_EQ(throttle.Admit(&a, t0 + milliseconds(1)), std::nullopt);
    EXPECT_EQ(throttle.Admit(&a, t0 + milliseconds(9999)), std::nullopt);
    EXPECT_EQ(throttle.Admit(&a, t0 + milliseconds(10000)), 2u);
    EXPECT_EQ(throttle.Admit(&a, t0 + milliseconds(19999)), std::nullopt);
    EXPECT_EQ(throttle.Admit(&a, t0 + milliseconds(20000)), 1u);
    EXPECT_EQ(throttle.Admit(&b, t0 + milliseconds(5000)), std::nullopt);
    EXPECT_EQ(throttle.Admit(&b, t0 + milliseconds(30000)), 1u);
}
