// The remote client against a scripted control service and a UDP peer standing for the camera's
// host: the session request, the datagrams (every 100 ms, consistent speeds, consecutive sequence
// numbers that never reset, the end flag), the calls through the service, and the failures.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>

#include <chrono>
#include <thread>

#include "clients/PTZClientRemote.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"
#include "webservice/VLTControlNamespace.h"

using k47test::ScriptedHttpServer;
using k47test::UdpPeer;
using Microsoft::WRL::ComPtr;

namespace {

std::string SoapBody(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
           "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>" +
           inner + "</soap:Body></soap:Envelope>";
}

std::string SessionReply(uint32_t ipv4, uint16_t port) {
    return SoapBody("<StartRemoteSessionPTZResponse xmlns=\"" +
                    std::string(k47::vlt::kServiceNamespace) + "\"><ipv4addr>" +
                    std::to_string(ipv4) + "</ipv4addr><port>" + std::to_string(port) +
                    "</port></StartRemoteSessionPTZResponse>");
}

std::string Fault(const std::string& code, const std::string& text) {
    return SoapBody("<soap:Fault><faultcode>soap:" + code + "</faultcode><faultstring>" + text +
                    "</faultstring></soap:Fault>");
}

class RemoteClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_HR_OK(K47CreateObject<CPTZClientRemote>(
            nullptr, IID_IK47PTZClient, reinterpret_cast<void**>(client_.GetAddressOf())));
    }
    void TearDown() override {
        client_.Reset();
        CoUninitialize();
    }
    HRESULT Connect(const std::string& address, const char16_t* camera = u"Cam1") {
        CComBSTR bstrAddress(CA2W(address.c_str()));
        CComBSTR bstrCamera(camera);
        return client_->Connect(bstrAddress, bstrCamera);
    }
    std::string Local(uint16_t port) { return "http://127.0.0.1:" + std::to_string(port); }

    // The next datagram at the peer, decoded (the test fails if none comes or it is malformed).
    static K47MotionDatagram Next(const UdpPeer& peer,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        auto bytes = peer.Receive(timeout);
        EXPECT_TRUE(bytes.has_value()) << "no datagram";
        if (!bytes)
            return {};
        EXPECT_EQ(bytes->size(), K47MotionDatagram::kSize);
        auto datagram = K47MotionDatagram::Decode(bytes->data(), bytes->size());
        return datagram.value_or(K47MotionDatagram{});
    }

    ComPtr<IK47PTZClient> client_;
};

}  // namespace

TEST_F(RemoteClientTest, ConnectAsksForASessionAndMotionGoesAsDatagrams) {
    ScriptedHttpServer server;
    UdpPeer camera;
    server.AddReply(
        k47test::HttpReply(200, SessionReply(0, camera.Port())));  // 0: use the server's address
    ASSERT_HR_OK(Connect(Local(server.Port()) + "/site/", u"Gate & Yard"));
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes.rfind("POST /site/VLTControl/VLTControl.asmx HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(requests[0].bytes.find("<name>Gate &amp; Yard</name>"), std::string::npos)
        << requests[0].bytes;
    EXPECT_NE(requests[0].bytes.find("SOAPAction: \"" + std::string(k47::vlt::kServiceNamespace) +
                                     "/StartRemoteSessionPTZ\"\r\n"),
              std::string::npos);

    auto started = std::chrono::steady_clock::now();
    ASSERT_HR_OK(client_->MoveRelative(10, -20, 30, 0, 1));
    K47MotionDatagram first = Next(camera);
    EXPECT_EQ(first.sequence, 1);  // the first datagram of an object
    EXPECT_EQ(first.pan, 10);
    EXPECT_EQ(first.tilt, -20);
    EXPECT_EQ(first.zoom, 30);
    EXPECT_EQ(first.iris, 1);
    EXPECT_EQ(first.flags, 0);
    // The worker goes on sending every 100 ms; the next set of speeds replaces the first whole.
    K47MotionDatagram second = Next(camera);
    EXPECT_EQ(second.sequence, 2);
    ASSERT_HR_OK(client_->MoveRelative(-5, 0, 0, 0, 0));
    K47MotionDatagram later;
    uint16_t expected = 3;
    do {
        later = Next(camera);
        EXPECT_EQ(later.sequence, expected++);
        EXPECT_TRUE((later.pan == 10 && later.tilt == -20) || (later.pan == -5 && later.tilt == 0))
            << "mixed speeds: " << later.pan << "," << later.tilt;
    } while (later.pan != -5 && expected < 40);
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(elapsed, 0.1 * (expected - 2) - 0.05);  // no faster than one per 100 ms

    ASSERT_HR_OK(client_->EndMotion());
    // Datagrams already on their way, then the last one: zero speeds and the end flag.
    K47MotionDatagram last;
    do {
        last = Next(camera);
        EXPECT_EQ(last.sequence, expected++);
    } while (last.flags == 0 && expected < 60);
    EXPECT_EQ(last.flags, K47MotionDatagram::kEndOfMotion);
    EXPECT_EQ(last.pan, 0);
    EXPECT_EQ(last.tilt, 0);
    EXPECT_FALSE(
        camera.Receive(std::chrono::milliseconds(300)).has_value());  // and nothing after it
}

TEST_F(RemoteClientTest, SequenceNumbersContinueAcrossRestartsAndConnects) {
    ScriptedHttpServer server;
    UdpPeer first, second;
    server.AddReply(k47test::HttpReply(200, SessionReply(0x7F000001, first.Port())));
    ASSERT_HR_OK(Connect(Local(server.Port())));
    ASSERT_HR_OK(client_->MoveRelative(1, 0, 0, 0, 0));
    // One periodic datagram first: on a busy machine the stop can otherwise come before the
    // worker's first tick, leaving only the final datagram.
    EXPECT_EQ(Next(first).pan, 1);
    ASSERT_HR_OK(client_->EndMotion());
    uint16_t lastSequence = 0;
    while (auto bytes = first.Receive(std::chrono::milliseconds(300)))
        lastSequence = bytes->at(0) | (bytes->at(1) << 8);
    ASSERT_GE(lastSequence, 2);

    server.AddReply(k47test::HttpReply(200, SessionReply(0x7F000001, second.Port())));
    ASSERT_HR_OK(Connect(Local(server.Port())));
    ASSERT_HR_OK(client_->MoveRelative(2, 0, 0, 0, 0));
    K47MotionDatagram next = Next(second);
    EXPECT_EQ(next.sequence, lastSequence + 1);
    EXPECT_EQ(next.pan, 2);
    ASSERT_HR_OK(client_->EndMotion());
}

// A client dropped in the middle of a motion (a program ending without EndMotion) ends it: its
// last datagram carries zero speeds and the end flag, so the camera stops now, not 5 s later.
TEST_F(RemoteClientTest, ReleasingAMovingClientEndsItsMotion) {
    ScriptedHttpServer server;
    UdpPeer camera;
    server.AddReply(k47test::HttpReply(200, SessionReply(0, camera.Port())));
    ASSERT_HR_OK(Connect(Local(server.Port())));
    ASSERT_HR_OK(client_->MoveRelative(0, 33, 0, 0, 0));
    Next(camera);
    client_.Reset();  // the last reference, without EndMotion
    K47MotionDatagram last;
    while (auto bytes = camera.Receive(std::chrono::milliseconds(300)))
        last = *K47MotionDatagram::Decode(bytes->data(), bytes->size());
    EXPECT_EQ(last.tilt, 0);
    EXPECT_EQ(last.flags, K47MotionDatagram::kEndOfMotion);
}

TEST_F(RemoteClientTest, CallsGoThroughTheServiceAndFailWithoutASession) {
    // Before any Connect: motion costs nothing, calls through the service fail cleanly.
    EXPECT_HR(CO_E_OBJNOTCONNECTED, client_->Command(PTZCMD_GOTOPRESET, 3));
    EXPECT_HR(CO_E_OBJNOTCONNECTED, client_->MenuCommand(PTZMENUCMD_OPEN));
    PTZFUNCTION functions;
    ULONG presets = 0;
    EXPECT_HR(CO_E_OBJNOTCONNECTED, client_->QueryFunctions(&functions, &presets));
    EXPECT_HR_OK(client_->EndMotion());  // no worker: nothing sent, exit code 0
    EXPECT_HR_OK(client_->MoveRelative(1, 1, 0, 0, 0));
    EXPECT_HR_OK(client_->EndMotion());

    ScriptedHttpServer server;
    UdpPeer camera;
    const std::string ns = k47::vlt::kServiceNamespace;
    server.AddReply(k47test::HttpReply(200, SessionReply(0, camera.Port())));
    ASSERT_HR_OK(Connect(Local(server.Port())));
    server.AddReply(
        k47test::HttpReply(200, SoapBody("<PtzCommandResponse xmlns=\"" + ns + "\"/>")));
    EXPECT_HR_OK(client_->Command(PTZCMD_GOTOPRESET, 12));
    server.AddReply(k47test::HttpReply(
        200,
        SoapBody("<PtzQueryFunctionsResponse xmlns=\"" + ns +
                 "\"><presetCount>64</presetCount><func>47</func></PtzQueryFunctionsResponse>")));
    ASSERT_HR_OK(client_->QueryFunctions(&functions, &presets));
    EXPECT_EQ(functions, 47);
    EXPECT_EQ(presets, 64u);
    server.AddReply(k47test::HttpReply(500, Fault("Client", "unknown camera")));
    EXPECT_HR(E_FAIL, client_->MenuCommand(PTZMENUCMD_UP));
    size_t before = server.Requests().size();
    EXPECT_HR(E_POINTER, client_->QueryFunctions(nullptr, &presets));  // refused before any request
    auto requests = server.Requests();
    EXPECT_EQ(requests.size(), before);
    EXPECT_NE(requests[1].bytes.find("<cmd>7</cmd><arg>12</arg>"), std::string::npos)
        << requests[1].bytes;
}

TEST_F(RemoteClientTest, AFailedConnectLeavesNoSocketAndMotionStillSucceeds) {
    ScriptedHttpServer server;
    server.AddReply(k47test::HttpReply(500, Fault("Client", "unknown camera \"Nobody\"")));
    k47test::LogCapture log;
    EXPECT_HR(E_FAIL, Connect(Local(server.Port()), u"Nobody"));
    EXPECT_TRUE(log.Contains("handler PTZClientRemote"))
        << (log.Lines().empty() ? "" : log.Lines()[0]);
    EXPECT_HR_OK(client_->MoveRelative(5, 0, 0, 0, 0));
    EXPECT_HR_OK(client_->EndMotion());
}

TEST_F(RemoteClientTest, ServersThatAreNotThereOrSchemesItCannotSpeakFailQuickly) {
    uint16_t closed = 0;
    {
        ScriptedHttpServer gone;  // a port nobody listens on any more
        closed = gone.Port();
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_HR(E_FAIL, Connect(Local(closed)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

    ScriptedHttpServer server;
    server.AddReply(k47test::HttpReply(200, SessionReply(0, 9)));
    // "HTTPS" in capitals goes to the socket transport, which speaks only "http".
    EXPECT_HR(E_FAIL, Connect("HTTPS://127.0.0.1:" + std::to_string(server.Port())));
    EXPECT_TRUE(server.Requests().empty());
}
