// The host's status: the JSON string writer against names that would break the document, GET
// /status of a real installation (a line on a simulated device, one whose device is missing, one
// without port; a camera held by a remote client), a driver that does not report its line, and
// the start summary's note about lines that are down.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "frame/K47PTZModule.h"
#include "host/HostServices.h"
#include "host/HostStatus.h"
#include "host/Installation.h"
#include "tests/drivers/DriverTestUtil.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/RecordingDriver.h"
#include "tests/support/ScopedRegistryFolder.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"

using k47host::HostStatus;
using k47host::JsonString;
using Microsoft::WRL::ComPtr;

TEST(HostStatusJson, EscapesWhatWouldBreakTheDocument) {
    const struct {
        std::string text;
        const char* json;
    } cases[] = {
        {"Gate", R"("Gate")"},
        {"Yard \"east\" \\ gate", R"("Yard \"east\" \\ gate")"},
        {"a\nb\rc\td", R"("a\nb\rc\td")"},
        {"\b\f\x01\x1f\x7f", R"("\u0008\u000c\u0001\u001f\u007f")"},
        {std::string("cut\0here", 8), R"("cut\u0000here")"},
        {"</script>&'", R"("</script>&'")"},
        // UTF-8 passes as it is: two, three and four bytes.
        {"Tor S\xC3\xBC"
         "d \xE2\x82\xAC \xF0\x9F\x93\xB7",
         "\"Tor S\xC3\xBC"
         "d \xE2\x82\xAC \xF0\x9F\x93\xB7\""},
        // What is not UTF-8 is replaced byte by byte, and what follows it is kept.
        {"\xC3", R"("\ufffd")"},
        {"\xC3(ok", R"("\ufffd(ok")"},
        {"\xFF"
         "ok",
         R"("\ufffdok")"},
        {"\xC0\xAF", R"("\ufffd\ufffd")"},                      // overlong '/'
        {"\xE0\x80\xAF", R"("\ufffd\ufffd\ufffd")"},            // overlong, three bytes
        {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},            // a surrogate
        {"\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
        {"\xE2\x82", R"("\ufffd\ufffd")"},                      // cut at the end
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonString(c.text), c.json) << c.json;
}

TEST(HostStatusJson, AbsentValuesAreNullAndTheNoteNamesEveryLineDownOrStuck) {
    HostStatus status;
    status.lines.push_back({"A\"1", "P", "/dev/ttyS0", "down", "gone (error 2)"});
    status.lines.push_back({"B", "P", std::nullopt, "none", std::nullopt});
    status.lines.push_back({"C", "P", "/dev/ttyS2", "stuck", std::nullopt});
    status.lines.push_back({"D", "P", "/dev/ttyS3", "unknown", std::nullopt});
    status.cameras.push_back({"Gate", "A\"1", 12, "10.0.0.5:4000"});
    status.cameras.push_back({"Dock", "B", std::nullopt, std::nullopt});
    EXPECT_EQ(
        k47host::StatusJson(status),
        "{\"lines\":[\n"
        R"J({"name":"A\"1","protocol":"P","device":"/dev/ttyS0","state":"down",)J"
        R"J("lastError":"gone (error 2)","counters":null},)J"
        "\n"
        R"({"name":"B","protocol":"P","device":null,"state":"none","lastError":null,)"
        R"("counters":null},)"
        "\n"
        R"({"name":"C","protocol":"P","device":"/dev/ttyS2","state":"stuck","lastError":null,)"
        R"("counters":null},)"
        "\n"
        R"({"name":"D","protocol":"P","device":"/dev/ttyS3","state":"unknown","lastError":null,)"
        R"("counters":null}],)"
        "\n\"cameras\":[\n"
        R"({"name":"Gate","line":"A\"1","address":12,"sessionOwner":"10.0.0.5:4000",)"
        R"("counters":null},)"
        "\n"
        R"({"name":"Dock","line":"B","address":null,"sessionOwner":null,)"
        R"("counters":null}]})"
        "\n");
    EXPECT_EQ(k47host::DegradedNote(status),
              ", degraded: line \"A\"1\" (/dev/ttyS0) is down; line \"C\" (/dev/ttyS2) is stuck");
    EXPECT_EQ(k47host::StatusJson(HostStatus{}), "{\"lines\":[],\n\"cameras\":[]}\n");
}

// A plug-in driver says nothing about its line: unknown, with the device its element names, and
// not counted as degraded.
TEST(HostStatus, ADriverWithoutLineStatusHasAnUnknownLine) {
    k47::XmlDocument document = k47::XmlDocument::LoadString(
        R"(<I><PTZProtocols><Protocol Name="Plug" ProgID="Vendor.Driver" COMPort="/dev/ttyS9"/>
           </PTZProtocols></I>)");
    ASSERT_TRUE(document);
    k47host::CInstallationServer* server = nullptr;
    ComPtr<IUnknown> identity = k47host::CInstallationServer::Create(document, &server);
    std::vector<xmlNode*> nodes;
    document.SelectNodes("PTZProtocols/Protocol", &nodes);
    ASSERT_EQ(nodes.size(), 1u);
    k47test::CRecordingDriver* recording = nullptr;
    ComPtr<IK47PTZProtocol> driver = k47test::CRecordingDriver::Create(&recording);
    server->AddProtocol(nodes[0], u"Plug", driver.Get());
    HostStatus status = k47host::ReadHostStatus(server);
    ASSERT_EQ(status.lines.size(), 1u);
    EXPECT_EQ(status.lines[0].protocol, "Vendor.Driver");
    EXPECT_EQ(status.lines[0].state, "unknown");
    EXPECT_EQ(status.lines[0].device.value_or("(none)"), "/dev/ttyS9");
    EXPECT_FALSE(status.lines[0].lastError.has_value());
    EXPECT_EQ(k47host::DegradedNote(status), "");
    server->ReleaseObjects();
}

namespace {

// Polls GET /status until its body contains `text`; the last body.
std::string WaitForStatus(uint16_t port, const std::string& text,
                          std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string body;
    do {
        body = k47test::Exchange(AF_INET, port, k47test::Request("GET", "/status")).body;
        if (body.find(text) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return body;
}

}  // namespace

TEST(HostStatus, ServedForARealInstallationWithALineDown) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    ASSERT_HR_OK(DllRegisterServer());
    k47test::FarEnd line(k47::sim::Protocol::kPelcoD);
    k47host::Installation installation;
    std::string error;
    // Names with a quote, a tab and a line break (character references survive the parser) and
    // non-ASCII text.
    ASSERT_TRUE(installation.LoadText(
        R"(<Installation><ControlService Listen="127.0.0.1" Port="0"/>
           <ControlService Listen="127.0.0.1" Port="0" Allow="10.0.0.0/8"/>
           <PTZProtocols Default='Yard "east"'>
             <Protocol Name='Yard "east"' ProgID="K47PTZ.K47PelcoD" COMPort=")" +
            line.Path() + R"(" BaudRate="9600"/>
             <Protocol Name="Gone" ProgID="K47PTZ.K47PelcoD" COMPort="/nonexistent/ttyK47"
                       BaudRate="9600"/>
             <Protocol Name="Loose" ProgID="K47PTZ.Bosch"/>
           </PTZProtocols><Cameras>
             <Camera Name="Gate&#9;1&#10;x" Address="1"/>
             <Camera Name="Tor S&#252;d" Protocol="Gone" Address="7"/>
           </Cameras></Installation>)",
        &error))
        << error;
    k47host::InstallationReport report = installation.Build();
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(k47host::SummaryLine(report, installation.Server()),
              "2 protocol(s) configured, 2 camera(s) bound, 1 problem(s), degraded: line "
              "\"Gone\" (/nonexistent/ttyK47) is down");

    k47host::HostServices services(installation.Server(), installation.ServiceSettings());
    ASSERT_TRUE(services.Start(&error)) << error;
    const uint16_t port = services.Listeners()[0]->Port();
    k47test::Reply reply = k47test::Exchange(AF_INET, port, k47test::Request("GET", "/status"));
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.Header("Content-Type"), "application/json");
    EXPECT_EQ(reply.Header("Cache-Control"), "no-store");
    const std::string& body = reply.body;
    EXPECT_NE(body.find(R"({"name":"Gone","protocol":"K47PTZ.K47PelcoD",)"
                        R"("device":"/nonexistent/ttyK47","state":"down","lastError":")"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("(error 3)\",\"counters\":{\"framesWritten\":0,"), std::string::npos)
        << body;
    EXPECT_NE(body.find(R"({"name":"Loose","protocol":"K47PTZ.Bosch","device":null,)"
                        R"("state":"none","lastError":null,"counters":{"framesWritten":0,)"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find(R"({"name":"Yard \"east\"","protocol":"K47PTZ.K47PelcoD","device":")" +
                        line.Path() +
                        R"(","state":"up","lastError":null,"counters":{"framesWritten":0,)"
                        R"("bytesWritten":0,"movesDropped":0,"writeFailures":0,"writeTimeouts":0,)"
                        R"("reopens":0}})"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find(R"({"name":"Gate\t1\nx","line":"Yard \"east\"","address":1,)"
                        R"("sessionOwner":null,"counters":{"moves":0,"stops":0,"deadManStops":0,)"
                        R"("repeatedStops":0,"datagramsAccepted":0,"datagramsStale":0,)"
                        R"("datagramsForeign":0,"datagramsMalformed":0,"sessionsStarted":0,)"
                        R"("lastCommand":null,"lastCommandAgeMs":null}})"),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("{\"name\":\"Tor S\xC3\xBC"
                        "d\",\"line\":\"Gone\",\"address\":7,\"sessionOwner\":null,\"counters\":{"),
              std::string::npos)
        << body;

    // A remote client takes the camera with its first datagram; the status names it.
    ComPtr<IK47PTZCamera> gate;
    ASSERT_HR_OK(installation.Server()->FindCamera(u"Gate\t1\nx", gate.GetAddressOf()));
    ULONG address = 0;
    USHORT sessionPort = 0;
    ASSERT_HR_OK(gate->StartRemoteSession(&address, &sessionPort));
    k47test::UdpPeer client;
    ASSERT_TRUE(client.SendDatagram(sessionPort, k47test::Motion(1, 20)));
    const std::string owner =
        "\"sessionOwner\":\"127.0.0.1:" + std::to_string(client.Port()) + "\"";
    EXPECT_NE(WaitForStatus(port, owner, std::chrono::seconds(3)).find(owner), std::string::npos);
    ASSERT_TRUE(client.SendDatagram(
        sessionPort, k47test::Motion(2, 0, 0, 0, 0, 0, K47MotionDatagram::kEndOfMotion)));

    // The same rules as every other route of the listener.
    reply = k47test::Exchange(AF_INET, port, k47test::Request("HEAD", "/status"));
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.body, "");
    reply = k47test::Exchange(AF_INET, port, k47test::Request("POST", "/status", "{}"));
    EXPECT_EQ(reply.status, 405u);
    EXPECT_EQ(reply.Header("Allow"), "GET, HEAD");
    reply = k47test::Exchange(AF_INET, services.Listeners()[1]->Port(),
                              k47test::Request("GET", "/status"));
    EXPECT_EQ(reply.status, 403u);
    EXPECT_EQ(reply.body.find("Gone"), std::string::npos);

    services.Stop();
    installation.Shutdown();
}

// Every line usable: the summary is the one scripts have always matched, with nothing after it.
TEST(HostStatus, TheSummaryOfAHealthyInstallationIsUnchanged) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    ASSERT_HR_OK(DllRegisterServer());
    k47test::FarEnd line(k47::sim::Protocol::kPelcoD);
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        R"(<Installation><PTZProtocols><Protocol Name="P" ProgID="K47PTZ.K47PelcoD" COMPort=")" +
            line.Path() + R"(" BaudRate="9600"/></PTZProtocols>
           <Cameras><Camera Name="a" Protocol="P" Address="1"/></Cameras></Installation>)",
        &error))
        << error;
    k47host::InstallationReport report = installation.Build();
    EXPECT_EQ(k47host::SummaryLine(report, installation.Server()),
              "1 protocol(s) configured, 1 camera(s) bound, 0 problem(s)");
    installation.Shutdown();
}
