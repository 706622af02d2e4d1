// The console's JSON API: its body reader and path decoder on hostile input, the access rule of
// its routes (users from <Users>, no passwords in the clear across a network) as a pure function
// and through real listeners, the installation file's Console and Users, and every refusal and
// camera call as a client meets them over HTTP, on a recording camera.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "host/ConsoleApi.h"
#include "host/HostServices.h"
#include "host/HostStatus.h"
#include "host/Installation.h"
#include "host/JsonBody.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/LocalServerSupport.h"
#include "tests/support/TestUtil.h"

using k47host::JsonObject;
using k47host::JsonValue;
using k47test::CameraCall;
using k47test::Exchange;
using k47test::Reply;
using k47test::Request;
using Microsoft::WRL::ComPtr;

namespace {

std::optional<JsonObject> Parse(const std::string& text, std::string* error = nullptr) {
    std::string ignored;
    return k47host::ParseJsonObject(text, error != nullptr ? error : &ignored);
}

int64_t IntOf(const JsonObject& object, const char* key) {
    const JsonValue* value = object.Find(key);
    return value != nullptr && std::holds_alternative<int64_t>(*value) ? std::get<int64_t>(*value)
                                                                       : -999;
}

sockaddr_storage Address(const char* text) {
    sockaddr_storage address{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1)
        v4->sin_family = AF_INET;
    else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1)
        v6->sin6_family = AF_INET6;
    return address;
}

std::string Basic(const std::string& base64) {
    return "Authorization: Basic " + base64 + "\r\n";
}
const std::string kAlice = Basic("YWxpY2U6czNjcmV0");  // alice:s3cret
const std::string kWrong = Basic("YWxpY2U6czNjcmV4");  // alice:s3crex
const std::string kJson = "Content-Type: application/json\r\n";
const std::string kConsole = "X-K47-Console: 1\r\n";

std::string Post(const std::string& path, const std::string& body,
                 const std::string& headers = kJson + kConsole) {
    return Request("POST", path, body, headers);
}

// An IPv4 address of this machine outside 127.0.0.0/8, or "" when it has none.
std::string NonLoopbackAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::string found;
    for (ifaddrs* entry = list; entry != nullptr && found.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if ((ntohl(v4->sin_addr.s_addr) >> 24) == 127)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
        found = text;
    }
    freeifaddrs(list);
    return found;
}

// One request to `address` (IPv4), read to the close.
Reply ExchangeAt(const std::string& address, uint16_t port, const std::string& request) {
    Reply reply;
    k47::UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    timeval timeout{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &remote.sin_addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0 ||
        !k47test::SendAll(fd.get(), request))
        return reply;
    std::string body;
    reply.status = k47test::ReadAnswer(fd.get(), std::chrono::seconds(5), &body);
    reply.body = body;
    return reply;
}

// An installation from the elements in `xml` (ControlService, Users) with recording cameras
// "Gate" and "A/B ü", served by HostServices as the host serves them.
class ConsoleApiTest : public ::testing::Test {
  protected:
    void Serve(const std::string& xml) {
        std::string error;
        ASSERT_TRUE(installation_.LoadText("<Installation>" + xml + "</Installation>", &error))
            << error;
        camera_ = k47test::CRecordingCamera::Create(&gate_);
        other_ = k47test::CRecordingCamera::Create(&slashed_);
        ASSERT_TRUE(camera_ && other_);
        installation_.Server()->AddCamera(nullptr, u"Gate", camera_.Get());
        installation_.Server()->AddCamera(nullptr, u"A/B \u00fc", other_.Get());
        services_ = std::make_unique<k47host::HostServices>(installation_.Server(),
                                                            installation_.ServiceSettings());
        ASSERT_TRUE(services_->Start(&error)) << error;
    }
    void TearDown() override {
        if (services_)
            services_->Stop();
    }
    uint16_t Port(size_t listener = 0) const { return services_->Listeners()[listener]->Port(); }
    Reply Send(const std::string& request) { return Exchange(AF_INET, Port(), request); }

    k47host::Installation installation_;
    k47test::CRecordingCamera* gate_ = nullptr;
    k47test::CRecordingCamera* slashed_ = nullptr;
    ComPtr<IUnknown> camera_;
    ComPtr<IUnknown> other_;
    std::unique_ptr<k47host::HostServices> services_;
};

const std::string kConsoleService = R"(<ControlService Listen="127.0.0.1" Port="0" Console="1"/>)";

}  // namespace

TEST(ConsoleJson, ReadsIntegersStringsAndNestedObjectsExactly) {
    std::optional<JsonObject> body = Parse(
        " {\"pan\": -100, \"tilt\":0,\"big\":-9223372036854775808,\"top\":"
        "9223372036854775807, \"s\":\"a\\\"\\\\\\/\\n\\u00fc\\ud83d\\ude00\xc3\xa9\","
        "\"o\":{\"i\":{}}} \r\n");
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(IntOf(*body, "pan"), -100);
    EXPECT_EQ(IntOf(*body, "tilt"), 0);
    EXPECT_EQ(IntOf(*body, "big"), INT64_MIN);
    EXPECT_EQ(IntOf(*body, "top"), INT64_MAX);
    EXPECT_EQ(std::get<std::string>(*body->Find("s")), "a\"\\/\n\xc3\xbc\xf0\x9f\x98\x80\xc3\xa9");
    ASSERT_EQ(body->Members().size(), 6u);
    EXPECT_EQ(body->Members()[5].first, "o");
    EXPECT_TRUE(Parse("{}").has_value());
}

TEST(ConsoleJson, RefusesEverythingButStrictObjectsWithTheReason) {
    const struct {
        std::string text;
        const char* reason;
    } cases[] = {
        {"", "not a JSON object"},
        {"[1]", "not a JSON object"},
        {"{\"pan\":1.5}", "whole number"},
        {"{\"pan\":1e2}", "whole number"},
        {"{\"pan\":-0.0}", "whole number"},
        {"{\"pan\":01}", "leading zero"},
        {"{\"pan\":-}", "without digits"},
        {"{\"pan\":9223372036854775808}", "too large"},
        {"{\"pan\":-9223372036854775809}", "too large"},
        {"{\"pan\":1,\"pan\":2}", "given twice"},
        {"{\"pan\":true}", "true, false or null"},
        {"{\"pan\":null}", "true, false or null"},
        {"{\"pan\":[1]}", "array"},
        {"{\"pan\":1,}", "quoted member name"},
        {"{\"pan\" 1}", "':'"},
        {"{\"pan\":1", "',' or '}'"},
        {"{pan:1}", "quoted member name"},
        {"{\"pan\":1} {}", "text follows"},
        {"{\"s\":\"a\nb\"}", "control character"},
        {"{\"s\":\"\\x\"}", "unknown escape"},
        {"{\"s\":\"\\u12\"}", "four hex digits"},
        {"{\"s\":\"\\udc00\"}", "low surrogate"},
        {"{\"s\":\"\\ud800x\"}", "high surrogate"},
        {"{\"s\":\"\\ud800\\u0041\"}", "high surrogate"},
        {"{\"s\":\"\xc3\x28\"}", "UTF-8"},
        {"{\"s\":\"\xc0\xaf\"}", "UTF-8"},          // overlong '/'
        {"{\"s\":\"\xed\xa0\x80\"}", "UTF-8"},      // an encoded surrogate
        {"{\"s\":\"\xf4\x90\x80\x80\"}", "UTF-8"},  // past U+10FFFF
        {"{\"s\":\"abc", "not closed"},
        {"{\"a\":{\"b\":{\"c\":{\"d\":{}}}}}", "nest deeper"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.text, &error).has_value()) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " -> " << error;
    }
    // Depth 4 is the limit, not past it.
    EXPECT_TRUE(Parse("{\"a\":{\"b\":{\"c\":{}}}}").has_value());
}

TEST(ConsoleJson, HoldsToItsSizeLimits) {
    std::string error;
    const std::string big = "{\"s\":\"" + std::string(5000, 'x') + "\"}";
    EXPECT_FALSE(Parse(big, &error).has_value());
    EXPECT_NE(error.find("larger than 4096"), std::string::npos) << error;

    k47host::JsonLimits limits;
    limits.maxStringBytes = 4;
    EXPECT_TRUE(k47host::ParseJsonObject("{\"s\":\"abcd\"}", &error, limits).has_value());
    EXPECT_FALSE(k47host::ParseJsonObject("{\"s\":\"abcde\"}", &error, limits).has_value());
    // An escape that decodes past the limit counts decoded.
    EXPECT_FALSE(k47host::ParseJsonObject("{\"s\":\"\\u00fc\\u00fc\\u00fc\"}", &error, limits));

    std::string many = "{";
    for (int i = 0; i < 65; ++i)
        many += (i ? ",\"" : "\"") + std::to_string(i) + "\":" + std::to_string(i);
    EXPECT_FALSE(Parse(many + "}", &error).has_value());
    EXPECT_NE(error.find("more than 64 members"), std::string::npos) << error;
}

TEST(ConsolePath, DecodesNamesAndRefusesBadEscapes) {
    EXPECT_EQ(k47host::PercentDecode("a%2Fb%20%c3%BC+"), std::string("a/b \xc3\xbc+"));
    for (const char* bad : {"%", "%2", "a%2", "%G0", "%0g", "%%41"})
        EXPECT_FALSE(k47host::PercentDecode(bad).has_value()) << bad;

    unsigned status = 0;
    std::string error;
    auto target = k47host::ParseConsolePath("/api/v1/cameras/A%2FB%20%C3%BC/move", &status, &error);
    ASSERT_TRUE(target.has_value()) << error;
    EXPECT_EQ(target->camera, "A/B \xc3\xbc");
    EXPECT_EQ(target->action, "move");

    const struct {
        const char* path;
        unsigned status;
    } refused[] = {
        {"/api/v1/cameras/A%2/move", 400},   {"/api/v1/cameras/%ZZ/move", 400},
        {"/api/v1/cameras//move", 400},      {"/api/v1/cameras/%C3%28/move", 400},
        {"/api/v1/cameras/a%0Ab/move", 400}, {"/api/v1/cameras/a%00/move", 400},
        {"/api/v1/cameras/Gate", 404},       {"/api/v1/cameras/Gate/move/x", 404},
        {"/api/v1/camerasGate/move", 404},
    };
    for (const auto& c : refused) {
        status = 0;
        EXPECT_FALSE(k47host::ParseConsolePath(c.path, &status, &error)) << c.path;
        EXPECT_EQ(status, c.status) << c.path;
    }
}

TEST(ConsoleAccess, LoopbackIsThisMachineOnly) {
    for (const char* local :
         {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1", "::ffff:127.1.2.3"}) {
        sockaddr_storage address = Address(local);
        EXPECT_TRUE(k47host::http::IsLoopback(reinterpret_cast<sockaddr*>(&address))) << local;
    }
    for (const char* remote : {"128.0.0.1", "10.0.0.1", "126.255.255.255", "::2",
                               "::", "::ffff:10.0.0.1", "::127.0.0.1", "fe80::1", "0.0.0.0"}) {
        sockaddr_storage address = Address(remote);
        EXPECT_FALSE(k47host::http::IsLoopback(reinterpret_cast<sockaddr*>(&address))) << remote;
    }
    EXPECT_FALSE(k47host::http::IsLoopback(nullptr));
}

TEST(ConsoleAccess, UsersNeedHttpsOrThisMachineThenTheirPassword) {
    using k47host::http::DecideAccess;
    k47host::http::AuthSettings listener;  // the ControlService's own: none
    k47host::http::RouteAccess console;
    console.auth.users.push_back({"alice", "s3cret"});
    sockaddr_storage local = Address("127.0.0.1");
    sockaddr_storage remote = Address("192.0.2.7");
    sockaddr_storage mapped = Address("::ffff:192.0.2.7");
    auto* l = reinterpret_cast<sockaddr*>(&local);
    auto* r = reinterpret_cast<sockaddr*>(&remote);
    auto* m = reinterpret_cast<sockaddr*>(&mapped);
    const std::string right = "Basic YWxpY2U6czNjcmV0";

    // Plain HTTP from another machine: refused before credentials, even right ones.
    for (sockaddr* client : {r, m}) {
        auto decision = DecideAccess(listener, &console, false, client, right);
        EXPECT_EQ(decision.status, 403u);
        EXPECT_NE(decision.text.find("use HTTPS"), std::string::npos);
        EXPECT_TRUE(decision.challenge.empty());
    }
    // HTTPS from anywhere, or plain HTTP from here: the password decides.
    for (auto [secure, client] : {std::pair{true, r}, std::pair{false, l}, std::pair{true, l}}) {
        EXPECT_EQ(DecideAccess(listener, &console, secure, client, std::nullopt).status, 401u);
        auto wrong = DecideAccess(listener, &console, secure, client, "Basic YWxpY2U6czNjcmV4");
        EXPECT_EQ(wrong.status, 401u);
        EXPECT_EQ(wrong.challenge, "Basic realm=\"K47PTZ\", charset=\"UTF-8\"");
        auto passed = DecideAccess(listener, &console, secure, client, right);
        EXPECT_EQ(passed.status, 0u);
        EXPECT_EQ(passed.user, "alice");
    }
    // Without users the console is open; other routes keep the listener's own rule, which has
    // no channel condition.
    EXPECT_EQ(DecideAccess(listener, nullptr, false, r, std::nullopt).status, 0u);
    k47host::http::RouteAccess open;
    EXPECT_EQ(DecideAccess(listener, &open, false, r, std::nullopt).status, 0u);
    k47host::http::AuthSettings guarded;
    guarded.users.push_back({"bob", "pw"});
    EXPECT_EQ(DecideAccess(guarded, nullptr, false, r, std::nullopt).status, 401u);
    EXPECT_EQ(DecideAccess(guarded, nullptr, false, r, "Basic Ym9iOnB3").status, 0u);
}

TEST(ConsoleSettings, ConsoleAndUsersAreReadAndCheckedWithTheLine) {
    const struct {
        const char* xml;
        const char* problem;  // "" when the file loads
    } cases[] = {
        {R"(<ControlService Port="0" Console="1"/>)", ""},
        {R"(<ControlService Port="0" Console="0"/>)", ""},
        {R"(<ControlService Port="0" Console="yes"/>)", "Console must be 0 or 1"},
        {R"(<ControlService Port="0" Console=""/>)", "Console must be 0 or 1"},
        {R"(<Users><User Name="a" Password="x"/><User Name="b" Password=""/></Users>)", ""},
        {R"(<Users><User Name="a" Password="x"/>
                   <User Name="a" Password="y"/></Users>)",
         "line 2: an earlier User has the Name \"a\""},
        {R"(<Users><User Name="a:b" Password="x"/></Users>)", "without ':'"},
        {R"(<Users><User Name="a"/></Users>)", "a Password"},
        {R"(<Users/><Users/>)", "only one Users element"},
        // A ControlService's own list keeps taking a repeated name, as it always did.
        {R"(<ControlService Port="0"><User Name="a" Password="x"/><User Name="a" Password="y"/>
            </ControlService>)",
         ""},
    };
    for (const auto& c : cases) {
        k47host::Installation installation;
        std::string error;
        const bool loaded = installation.LoadText(
            std::string("<Installation>") + c.xml + "</Installation>", &error);
        EXPECT_EQ(loaded, *c.problem == '\0') << c.xml << ": " << error;
        EXPECT_NE(error.find(c.problem), std::string::npos) << c.xml << ": " << error;
    }
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        R"(<Installation><Users><User Name="alice" Password="s3cret"/></Users>
           <ControlService Port="0" Console="1"/><ControlService Port="0"/></Installation>)",
        &error));
    const auto& services = installation.ServiceSettings();
    ASSERT_EQ(services.size(), 2u);
    EXPECT_TRUE(services[0].console);
    EXPECT_FALSE(services[1].console);
    ASSERT_EQ(services[0].consoleUsers.users.size(), 1u);
    EXPECT_EQ(services[0].consoleUsers.users[0].password, "s3cret");
    EXPECT_FALSE(services[0].http.auth.Enabled());  // <Users> is not the endpoint's own list
}

TEST(ConsoleSettings, StrictCheckKnowsConsoleAndUsers) {
    k47host::Installation installation;
    installation.SetStrict(true);
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        R"(<Installation><Users><User Name="a" Password="x"/></Users>
           <ControlService Listen="127.0.0.1" Port="0" Console="1"/>
           <Cameras><Camera Name="C" Address="1"/></Cameras></Installation>)",
        &error))
        << error;
    for (const std::string& problem : installation.Build().problems) {
        EXPECT_EQ(problem.find("Console"), std::string::npos) << problem;
        EXPECT_EQ(problem.find("<Users"), std::string::npos) << problem;
        EXPECT_EQ(problem.find("<User "), std::string::npos) << problem;
    }
}

TEST_F(ConsoleApiTest, WithoutConsoleTheApiIsNotThere) {
    ASSERT_NO_FATAL_FAILURE(Serve(R"(<ControlService Listen="127.0.0.1" Port="0"/>
                                     <ControlService Listen="127.0.0.1" Port="0" Console="0"/>)"));
    for (size_t listener : {0u, 1u}) {
        EXPECT_EQ(Exchange(AF_INET, Port(listener), Request("GET", "/api/v1/cameras")).status,
                  404u);
        EXPECT_EQ(Exchange(AF_INET, Port(listener), Post("/api/v1/cameras/Gate/move", "{}")).status,
                  404u);
    }
    EXPECT_TRUE(gate_->Calls().empty());
}

TEST_F(ConsoleApiTest, CamerasIsTheStatusDocument) {
    ASSERT_NO_FATAL_FAILURE(Serve(kConsoleService));
    Reply cameras = Send(Request("GET", "/api/v1/cameras"));
    EXPECT_EQ(cameras.status, 200u);
    EXPECT_EQ(cameras.Header("Content-Type"), "application/json");
    EXPECT_EQ(cameras.body, Send(Request("GET", "/status")).body);
    EXPECT_NE(cameras.body.find("\"name\":\"A/B \xc3\xbc\""), std::string::npos) << cameras.body;
}

TEST_F(ConsoleApiTest, RefusalsComeAsJsonWithoutCallingTheCamera) {
    ASSERT_NO_FATAL_FAILURE(Serve(kConsoleService));
    const std::string move = "/api/v1/cameras/Gate/move";
    const struct {
        std::string request;
        unsigned status;
        const char* text;  // in the {"error":...} body
        const char* allow;
    } cases[] = {
        {Request("GET", move), 405, "only POST", "POST"},
        {Request("PUT", move, "{}", kJson + kConsole), 405, "only POST", "POST"},
        {Post("/api/v1/cameras", "{}"), 405, "only GET", "GET, HEAD"},
        {Post(move, "{}", "Content-Type: text/plain\r\n" + kConsole), 415, "content type", ""},
        {Post(move, "", kConsole), 415, "application/json", ""},
        {Post(move, "{}", kJson), 403, "X-K47-Console", ""},
        {Post(move, "{}", kJson + "X-K47-Console: 0\r\n"), 403, "X-K47-Console", ""},
        {Post(move, "{\"pan\":101}"), 400, "\\\"pan\\\" must be from -100 to 100", ""},
        {Post(move, "{\"iris\":-101}"), 400, "\\\"iris\\\" must be from -100 to 100", ""},
        {Post(move, "{\"pan\":50.5}"), 400, "whole number", ""},
        {Post(move, "{\"pan\":\"50\"}"), 400, "must be an integer", ""},
        {Post(move, "{\"pna\":50}"), 400, "unknown member \\\"pna\\\"", ""},
        {Post(move, "{\"pan\":1,\"pan\":2}"), 400, "given twice", ""},
        {Post(move, ""), 400, "not a JSON object", ""},
        {Post(move, "{\"pan\":9223372036854775808}"), 400, "too large", ""},
        {Post("/api/v1/cameras/Gate/stop", "{\"pan\":0}"), 400, "empty object", ""},
        {Post("/api/v1/cameras/Gate/preset", "{\"action\":\"jump\",\"number\":1}"), 400,
         "\\\"action\\\" must be", ""},
        {Post("/api/v1/cameras/Gate/preset", "{\"action\":\"go\",\"number\":0}"), 400,
         "\\\"number\\\" must be from 1", ""},
        {Post("/api/v1/cameras/Gate/preset", "{\"action\":\"go\"}"), 400, "missing", ""},
        {Post("/api/v1/cameras/Gate/command", "{\"cmd\":4294967296}"), 400, "\\\"cmd\\\" must", ""},
        {Post("/api/v1/cameras/Gate/spin", "{}"), 404, "no action \\\"spin\\\"", ""},
        {Post("/api/v1/cameras/G%zzate/move", "{}"), 400, "two hex digits", ""},
        {Post("/api/v1/cameras/Nobody%20here/move", "{}"), 404, "no camera \\\"Nobody here\\\"",
         ""},
        {Post(move, "{\"s\":\"" + std::string(5000, 'x') + "\"}"), 413, "larger", ""},
    };
    for (const auto& c : cases) {
        Reply reply = Send(c.request);
        EXPECT_EQ(reply.status, c.status) << c.request;
        EXPECT_EQ(reply.Header("Content-Type"), "application/json") << c.request;
        EXPECT_EQ(reply.body.rfind("{\"error\":\"", 0), 0u) << reply.body;
        EXPECT_NE(reply.body.find(c.text), std::string::npos) << c.request << " -> " << reply.body;
        EXPECT_EQ(reply.Header("Allow"), c.allow) << c.request;
    }
    // QueryFunctions may be asked (the preset range); nothing else reached the camera.
    EXPECT_TRUE(gate_->Calls(CameraCall::Kind::Move).empty());
    EXPECT_TRUE(gate_->Calls(CameraCall::Kind::Command).empty());
}

TEST_F(ConsoleApiTest, EachActionMakesItsCameraCall) {
    ASSERT_NO_FATAL_FAILURE(Serve(kConsoleService));
    gate_->SetFunctions(PTZFUNC_CLEARPRESET, 16);
    const struct {
        std::string path;
        std::string body;
        CameraCall expected;
    } cases[] = {
        {"/api/v1/cameras/Gate/move",
         R"({"pan":-100,"tilt":100,"zoom":-1,"focus":2,"iris":-3})",
         {CameraCall::Kind::Move, -100, 100, -1, 2, -3}},
        {"/api/v1/cameras/Gate/move", R"({"tilt":40})", {CameraCall::Kind::Move, 0, 40}},
        {"/api/v1/cameras/Gate/stop", "{}", {CameraCall::Kind::Move}},
        {"/api/v1/cameras/Gate/preset",
         R"({"action":"go","number":16})",
         {CameraCall::Kind::Command, 0, 0, 0, 0, 0, PTZCMD_GOTOPRESET, 16}},
        {"/api/v1/cameras/Gate/preset",
         R"({"number":2,"action":"set"})",
         {CameraCall::Kind::Command, 0, 0, 0, 0, 0, PTZCMD_SETPRESET, 2}},
        {"/api/v1/cameras/Gate/preset",
         R"({"action":"clear","number":1})",
         {CameraCall::Kind::Command, 0, 0, 0, 0, 0, PTZCMD_CLEARPRESET, 1}},
        {"/api/v1/cameras/Gate/command",
         R"({"cmd":43,"arg":-7})",
         {CameraCall::Kind::Command, 0, 0, 0, 0, 0, PTZCMD_AUTOFOCUS, -7}},
    };
    for (const auto& c : cases) {
        gate_->ClearCalls();
        Reply reply = Send(
            Post(c.path, c.body, "Content-Type: Application/JSON; charset=utf-8\r\n" + kConsole));
        EXPECT_EQ(reply.status, 204u) << c.body << " -> " << reply.body;
        std::vector<CameraCall> calls = gate_->Calls(c.expected.kind);
        ASSERT_EQ(calls.size(), 1u) << c.body;
        const CameraCall& call = calls[0];
        EXPECT_EQ(std::vector<int>({call.pan, call.tilt, call.zoom, call.focus, call.iris}),
                  std::vector<int>({c.expected.pan, c.expected.tilt, c.expected.zoom,
                                    c.expected.focus, c.expected.iris}))
            << c.body;
        EXPECT_EQ(call.value, c.expected.value) << c.body;
        EXPECT_EQ(call.arg, c.expected.arg) << c.body;
    }
    // Past the camera's 16 presets: refused, with the range.
    Reply past = Send(Post("/api/v1/cameras/Gate/preset", R"({"action":"go","number":17})"));
    EXPECT_EQ(past.status, 400u);
    EXPECT_NE(past.body.find("presets 1 to 16"), std::string::npos) << past.body;
    // The escaped '/' is part of the name, not a separator.
    EXPECT_EQ(Send(Post("/api/v1/cameras/A%2FB%20%C3%BC/stop", "{}")).status, 204u);
    EXPECT_EQ(slashed_->Calls(CameraCall::Kind::Move).size(), 1u);
}

TEST_F(ConsoleApiTest, ACameraThatRefusesIsTold) {
    ASSERT_NO_FATAL_FAILURE(Serve(kConsoleService));
    gate_->SetResult(CameraCall::Kind::Move, E_NOTIMPL);
    Reply refused = Send(Post("/api/v1/cameras/Gate/move", R"({"pan":5})"));
    EXPECT_EQ(refused.status, 409u);
    EXPECT_NE(refused.body.find("camera \\\"Gate\\\" refused the move"), std::string::npos)
        << refused.body;
    gate_->SetResult(CameraCall::Kind::Command, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    Reply down = Send(Post("/api/v1/cameras/Gate/command", R"({"cmd":7,"arg":1})"));
    EXPECT_EQ(down.status, 503u);
    EXPECT_NE(down.body.find("line is unavailable"), std::string::npos) << down.body;
    // The operator reads the cause in words; the codes belong in the log.
    EXPECT_NE(down.body.find("cannot find the file"), std::string::npos) << down.body;
    for (const Reply& reply : {refused, down})
        EXPECT_EQ(reply.body.find("0x8"), std::string::npos) << reply.body;
}

TEST_F(ConsoleApiTest, UsersGuardTheConsoleButNotTheOtherRoutes) {
    ASSERT_NO_FATAL_FAILURE(
        Serve(R"(<Users><User Name="alice" Password="s3cret"/></Users>)" + kConsoleService));
    const std::string stop = "/api/v1/cameras/Gate/stop";
    Reply none = Send(Post(stop, "{}"));
    EXPECT_EQ(none.status, 401u);
    EXPECT_EQ(none.Header("WWW-Authenticate"), "Basic realm=\"K47PTZ\", charset=\"UTF-8\"");
    EXPECT_EQ(none.Header("Content-Type"), "application/json");
    EXPECT_EQ(Send(Post(stop, "{}", kJson + kConsole + kWrong)).status, 401u);
    EXPECT_EQ(Send(Request("GET", "/api/v1/cameras", "", kWrong)).status, 401u);
    EXPECT_TRUE(gate_->Calls(CameraCall::Kind::Move).empty());
    // Loopback over plain HTTP: the password is enough.
    EXPECT_EQ(Send(Post(stop, "{}", kJson + kConsole + kAlice)).status, 204u);
    EXPECT_EQ(Send(Request("GET", "/api/v1/cameras", "", kAlice)).status, 200u);
    EXPECT_EQ(gate_->Calls(CameraCall::Kind::Move).size(), 1u);
#if __has_include("host/ConsolePage.h")
    // The page's paths are the console's too: credentials before the page.
    EXPECT_EQ(Send(Request("GET", "/")).status, 401u);
    EXPECT_EQ(Send(Request("GET", "/console/nothing-here")).status, 401u);
#endif
    // /status stays as the ControlService has it: open.
    EXPECT_EQ(Send(Request("GET", "/status")).status, 200u);
}

TEST_F(ConsoleApiTest, AControlServicesOwnUsersGuardItsConsoleWithoutUsers) {
    ASSERT_NO_FATAL_FAILURE(Serve(R"(<ControlService Listen="127.0.0.1" Port="0" Console="1">
                                       <User Name="alice" Password="s3cret"/></ControlService>)"));
    EXPECT_EQ(Send(Request("GET", "/api/v1/cameras")).status, 401u);
    EXPECT_EQ(Send(Request("GET", "/api/v1/cameras", "", kAlice)).status, 200u);
    EXPECT_EQ(Send(Request("GET", "/status")).status, 401u);
}

TEST_F(ConsoleApiTest, PlainHttpFromAnotherAddressIsRefusedBeforeCredentials) {
    const std::string address = NonLoopbackAddress();
    if (address.empty())
        GTEST_SKIP() << "this machine has no IPv4 address outside 127.0.0.0/8";
    ASSERT_NO_FATAL_FAILURE(Serve(R"(<Users><User Name="alice" Password="s3cret"/></Users>
                                     <ControlService Listen=")" +
                                  address + R"(" Port="0" Console="1"/>)"));
    Reply refused = ExchangeAt(address, Port(),
                               Post("/api/v1/cameras/Gate/stop", "{}", kJson + kConsole + kAlice));
    EXPECT_EQ(refused.status, 403u);
    EXPECT_NE(refused.body.find("use HTTPS"), std::string::npos) << refused.body;
    EXPECT_TRUE(gate_->Calls(CameraCall::Kind::Move).empty());
    // The rest of the ControlService is as it was.
    EXPECT_EQ(ExchangeAt(address, Port(), Request("GET", "/status")).status, 200u);
}
