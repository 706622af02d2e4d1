// The host HTTP layer's pure decisions: which route serves a request or which status refuses it
// (404, 405 with its Allow value, 413 at the limit's edge, 415), client address prefixes, and
// HTTP Basic credentials.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "host/http/Access.h"
#include "host/http/Router.h"

using k47host::http::AddressPrefix;
using k47host::http::AuthSettings;
using k47host::http::HttpRequest;
using k47host::http::HttpResponse;
using k47host::http::PathMatch;
using k47host::http::Route;
using k47host::http::RouteDecision;
using k47host::http::Router;

namespace {

constexpr size_t kServerLimit = 100;

Route MakeRoute(PathMatch match, std::string path, std::vector<std::string> methods) {
    Route route;
    route.match = match;
    route.path = std::move(path);
    route.methods = std::move(methods);
    route.handler = [](const HttpRequest&) { return HttpResponse{}; };
    return route;
}

Router TestRouter() {
    Router router;
    router.Add(MakeRoute(PathMatch::kExact, "/status", {"GET"}));
    Route items = MakeRoute(PathMatch::kExact, "/api/items", {"GET", "POST"});
    items.contentTypes = {"application/json"};
    items.maxBodyBytes = 10;
    router.Add(std::move(items));
    router.Add(MakeRoute(PathMatch::kPrefix, "/console/", {"GET"}));
    router.Add(MakeRoute(PathMatch::kPrefix, "/console/api/", {"POST"}));
    router.Add(MakeRoute(PathMatch::kExact, "/console/api/version", {"GET"}));
    Route soap = MakeRoute(PathMatch::kSuffix, "/VLTControl/VLTControl.asmx", {"POST"});
    soap.maxBodyBytes = 10;
    soap.answersOversize = true;
    router.Add(std::move(soap));
    return router;
}

sockaddr_storage Address(const char* text) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &v6->sin6_addr), 1) << text;
        v6->sin6_family = AF_INET6;
    }
    return storage;
}

}  // namespace

TEST(HttpRouter, DecidesRouteOrRefusalForEachRequest) {
    const Router router = TestRouter();
    const struct {
        const char* method;
        const char* path;
        const char* contentType;
        size_t bodyBytes;
        unsigned status;     // 0: served by the route at `served`
        const char* served;  // the route's path
        const char* allow;
    } cases[] = {
        {"GET", "/status", "", 0, 0, "/status", ""},
        {"HEAD", "/status", "", 0, 0, "/status", ""},  // HEAD goes wherever GET does
        {"POST", "/status", "", 0, 405, nullptr, "GET, HEAD"},
        {"get", "/status", "", 0, 405, nullptr, "GET, HEAD"},  // methods are case-sensitive
        {"GET", "/nothing", "", 0, 404, nullptr, ""},
        {"GET", "/status/", "", 0, 404, nullptr, ""},  // exact means exact
        {"GET", "/Status", "", 0, 404, nullptr, ""},
        {"GET", "", "", 0, 404, nullptr, ""},
        {"POST", "/nothing", "", kServerLimit + 1, 404, nullptr, ""},  // 404 before 413
        {"DELETE", "/api/items", "", 0, 405, nullptr, "GET, HEAD, POST"},
        {"DELETE", "/api/items", "", 11, 405, nullptr, "GET, HEAD, POST"},  // 405 before 413
        // The route's own limit (10), not the server's.
        {"POST", "/api/items", "application/json", 10, 0, "/api/items", ""},
        {"POST", "/api/items", "application/json", 11, 413, nullptr, ""},
        {"POST", "/api/items", "text/plain", 11, 413, nullptr, ""},  // 413 before 415
        {"POST", "/api/items", "text/plain", 5, 415, nullptr, ""},
        {"POST", "/api/items", "", 5, 415, nullptr, ""},
        {"POST", "/api/items", "application/jsonx", 5, 415, nullptr, ""},
        {"POST", "/api/items", "Application/JSON; charset=utf-8", 5, 0, "/api/items", ""},
        {"POST", "/api/items", " application/json ;x=1", 5, 0, "/api/items", ""},
        {"POST", "/api/items", "", 0, 0, "/api/items", ""},  // no body, no type to refuse
        // The server's limit where the route sets none.
        {"GET", "/status", "", kServerLimit, 0, "/status", ""},
        {"GET", "/status", "", kServerLimit + 1, 413, nullptr, ""},
        {"GET", "/status", "", SIZE_MAX, 413, nullptr, ""},
        // Prefixes: the longest wins, and an exact path beats them all.
        {"GET", "/console/", "", 0, 0, "/console/", ""},
        {"GET", "/console/index.html", "", 0, 0, "/console/", ""},
        {"GET", "/console", "", 0, 404, nullptr, ""},
        {"POST", "/console/api/move", "", 0, 0, "/console/api/", ""},
        {"GET", "/console/api/move", "", 0, 405, nullptr, "POST"},
        {"GET", "/console/api/version", "", 0, 0, "/console/api/version", ""},
        // Suffix: below any prefix; oversize bodies go to the route, which answers them.
        {"POST", "/VLTControl/VLTControl.asmx", "text/xml", 5, 0, "/VLTControl/VLTControl.asmx",
         ""},
        {"POST", "/site/a/VLTControl/VLTControl.asmx", "", 0, 0, "/VLTControl/VLTControl.asmx", ""},
        {"POST", "/VLTControl/VLTControl.asmx", "", 1 << 20, 0, "/VLTControl/VLTControl.asmx", ""},
        {"GET", "/VLTControl/VLTControl.asmx", "", 0, 405, nullptr, "POST"},
        {"POST", "/VLTControl/VLTControl.asmx/", "", 0, 404, nullptr, ""},
        {"POST", "/XVLTControl/VLTControl.asmx", "", 0, 404, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " [" + c.contentType + "] " +
                     std::to_string(c.bodyBytes));
        RouteDecision decision =
            router.Decide(c.method, c.path, c.contentType, c.bodyBytes, kServerLimit);
        if (c.status == 0) {
            ASSERT_NE(decision.route, nullptr) << decision.status;
            EXPECT_EQ(decision.route->path, c.served);
        } else {
            EXPECT_EQ(decision.route, nullptr);
            EXPECT_EQ(decision.status, c.status);
            EXPECT_EQ(decision.allow, c.allow);
        }
    }
}

TEST(HttpRouter, RefusalsCarryTheirHeadersAndSayWhy) {
    const Router router = TestRouter();
    HttpResponse refused =
        Router::ErrorResponse(router.Decide("PUT", "/api/items", "", 0, kServerLimit));
    EXPECT_EQ(refused.status, 405u);
    ASSERT_EQ(refused.headers.size(), 1u);
    EXPECT_EQ(refused.headers[0].first, "Allow");
    EXPECT_EQ(refused.headers[0].second, "GET, HEAD, POST");
    EXPECT_EQ(refused.body, "only GET, HEAD, POST are served\n");
    // The control service's clients have seen this text for a wrong method.
    EXPECT_EQ(Router::ErrorResponse(
                  router.Decide("GET", "/VLTControl/VLTControl.asmx", "", 0, kServerLimit))
                  .body,
              "only POST is served\n");

    refused = Router::ErrorResponse(
        router.Decide("POST", "/api/items", "application/json", 11, kServerLimit));
    EXPECT_EQ(refused.status, 413u);
    EXPECT_NE(refused.body.find("(10 bytes)"), std::string::npos) << refused.body;
    EXPECT_TRUE(refused.headers.empty());

    EXPECT_EQ(Router::ErrorResponse(router.Decide("GET", "/x", "", 0, kServerLimit)).status, 404u);
    // The limit read before the body arrives is the route's own.
    EXPECT_EQ(router.BodyLimit("/api/items", kServerLimit), 10u);
    EXPECT_EQ(router.BodyLimit("/status", kServerLimit), kServerLimit);
    EXPECT_EQ(router.BodyLimit("/nothing", kServerLimit), kServerLimit);
}

TEST(HttpRequest, HeaderLookupIgnoresCaseAndTakesTheFirst) {
    HttpRequest request;
    request.headers = {{"content-TYPE", "text/xml"}, {"X-Twice", "1"}, {"x-twice", "2"}};
    EXPECT_EQ(request.Header("Content-Type"), "text/xml");
    EXPECT_EQ(request.Header("X-TWICE"), "1");
    EXPECT_FALSE(request.Header("Content-Typ").has_value());
    EXPECT_FALSE(request.Header("").has_value());
}

TEST(HttpAccess, AddressPrefixesParseAndMatchByFamily) {
    for (const char* bad : {"", "abc", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/a",
                            "10.0.0.0/-1", "[::1]", "10.0.0", "10.0.0.0/8/8", "10.0.0.0/0008"}) {
        EXPECT_FALSE(AddressPrefix::Parse(bad).has_value()) << bad;
    }
    const struct {
        const char* prefix;
        const char* client;
        bool matches;
    } cases[] = {
        {"10.0.0.0/8", "10.1.2.3", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"10.0.0.0/8", "::ffff:10.1.2.3", true},  // an IPv4 client of a dual-stack listener
        {"10.0.0.0/8", "::a01:203", false},       // IPv4-compatible is not IPv4-mapped
        {"192.168.1.0/25", "192.168.1.127", true},
        {"192.168.1.0/25", "192.168.1.128", false},
        {"192.168.1.7", "192.168.1.7", true},
        {"192.168.1.7", "192.168.1.6", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "::1", false},
        {"::1", "::1", true},
        {"::1", "::2", false},
        {"::1", "127.0.0.1", false},
        {"fd00::/8", "fd12:3456::1", true},
        {"fd00::/8", "fe80::1", false},
        {"2001:db8::/33", "2001:db8:7fff::1", true},
        {"2001:db8::/33", "2001:db8:8000::1", false},
        {"::/0", "2001:db8::1", true},
        {"::/0", "10.0.0.1", false},
    };
    for (const auto& c : cases) {
        auto prefix = AddressPrefix::Parse(c.prefix);
        ASSERT_TRUE(prefix.has_value()) << c.prefix;
        sockaddr_storage client = Address(c.client);
        EXPECT_EQ(prefix->Matches(reinterpret_cast<sockaddr*>(&client)), c.matches)
            << c.prefix << " / " << c.client;
    }

    std::vector<AddressPrefix> allowed;
    std::string bad;
    sockaddr_storage outsider = Address("198.51.100.1");
    const auto* outsiderAddress = reinterpret_cast<sockaddr*>(&outsider);
    EXPECT_TRUE(k47host::http::ClientAllowed(allowed, outsiderAddress));  // no list: everyone
    EXPECT_TRUE(k47host::http::ClientAllowed(allowed, nullptr));
    ASSERT_TRUE(
        k47host::http::ParseAddressPrefixes(" 127.0.0.0/8,::1\t10.0.0.0/8 ", &allowed, &bad));
    EXPECT_EQ(allowed.size(), 3u);
    EXPECT_FALSE(k47host::http::ClientAllowed(allowed, outsiderAddress));
    EXPECT_FALSE(k47host::http::ClientAllowed(allowed, nullptr));
    sockaddr_storage loopback6 = Address("::1");
    EXPECT_TRUE(k47host::http::ClientAllowed(allowed, reinterpret_cast<sockaddr*>(&loopback6)));
    EXPECT_FALSE(k47host::http::ParseAddressPrefixes("127.0.0.1 localhost", &allowed, &bad));
    EXPECT_EQ(bad, "localhost");
}

TEST(HttpAccess, Base64DecodesStrictly) {
    // RFC 4648 section 10.
    const std::pair<const char*, const char*> good[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
    };
    for (const auto& [encoded, decoded] : good)
        EXPECT_EQ(k47host::http::DecodeBase64(encoded), decoded) << encoded;
    for (const char* bad : {"Zg=", "Zg", "Zg=a", "Z===", "====", "=Zg=", "Zm9v=", "Zm$v",
                            "Zg==Zg==", "Zm9v Yg==", "Zg\n=="}) {
        EXPECT_FALSE(k47host::http::DecodeBase64(bad).has_value()) << bad;
    }
}

TEST(HttpAccess, BasicCredentialsMatchAConfiguredUserExactly) {
    AuthSettings auth;
    auth.users = {{"alice", "secret"}, {"bob", "pa:ss"}, {"carol", ""}};
    const struct {
        std::optional<std::string_view> header;
        const char* user;  // nullptr: refused
    } cases[] = {
        {std::nullopt, nullptr},
        {"Basic YWxpY2U6c2VjcmV0", "alice"},
        {"basic  YWxpY2U6c2VjcmV0 ", "alice"},  // scheme case-insensitive, blanks around
        {"BASIC YWxpY2U6c2VjcmV0", "alice"},
        {"Basic YWxpY2U6c2VjcmV1", nullptr},      // alice:secreu
        {"Basic YWxpY2U6c2VjcmV0Mg==", nullptr},  // alice:secret2
        {"Basic YWxpY2U6c2VjcmU=", nullptr},      // alice:secre
        {"Basic QWxpY2U6c2VjcmV0", nullptr},      // Alice: names are case-sensitive
        {"Basic Ym9iOnBhOnNz", "bob"},            // the password may hold ':'
        {"Basic Y2Fyb2w6", "carol"},              // an empty password
        {"Basic YWxpY2U=", nullptr},              // no ':'
        {"Basic", nullptr},
        {"Basic ", nullptr},
        {"Basic !!!!", nullptr},
        {"Bearer YWxpY2U6c2VjcmV0", nullptr},
        {"BasicYWxpY2U6c2VjcmV0", nullptr},
        {std::string_view("Basic\0YWxpY2U6c2VjcmV0", 22), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header ? std::string(*c.header) : "(none)");
        auto user = k47host::http::CheckBasic(auth, c.header);
        if (c.user == nullptr)
            EXPECT_FALSE(user.has_value()) << *user;
        else
            EXPECT_EQ(user, c.user);
    }
    // Without users nobody gets in through CheckBasic; the server does not call it then.
    EXPECT_FALSE(AuthSettings{}.Enabled());
    EXPECT_FALSE(k47host::http::CheckBasic(AuthSettings{}, "Basic YWxpY2U6c2VjcmV0"));
}
