// End to end through a real k47ptz-host process: the module registered with k47regsvr in a
// private registry, a Pelco-D camera on a pty whose far end this test decodes, the control service
// over HTTP and HTTPS, and the remote client steering the camera. Also: the failures a user meets
// (unknown camera, no server, malformed requests, a broken protocol element). SIGTERM and the
// other ways a motion ends: tests/timing/motion_safety_test.cpp.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>
#include <k47/pty.h>
#include <k47/unique_fd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <fstream>
#include <functional>
#include <string>

#include "frame/K47PTZ.h"
#include "sim/FrameDecoder.h"
#include "tests/support/TestCertificates.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"
#include "tests/tools/ToolProcess.h"

using k47::sim::DecodedFrame;
using k47::sim::FrameKind;
using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

class HostEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        const auto& certificates =
            k47test::TestCertificates::Get();  // also makes this process trust them
        std::string output;
        ASSERT_EQ(k47test::RegisterModuleWithTool(&output), 0) << output;
        WriteFile(folder_.Path() + "/server.pem", certificates.good.certificatePem);
        WriteFile(folder_.Path() + "/server.key", certificates.good.keyPem);
        const std::string config = folder_.Path() + "/installation.xml";
        const int firstPort = std::min<int>(k47test::FreeUdpPort(), 65535 - 9);
        ASSERT_GT(firstPort, 0);
        WriteFile(config,
                  "<Installation>\n"
                  "  <ControlService Listen=\"127.0.0.1\" Port=\"0\"/>\n"
                  "  <ControlService Listen=\"127.0.0.1\" Port=\"0\" Certificate=\"" +
                      folder_.Path() + "/server.pem\" Key=\"" + folder_.Path() +
                      "/server.key\"/>\n"
                      "  <PortService First=\"" +
                      std::to_string(firstPort) + "\" Last=\"" + std::to_string(firstPort + 9) +
                      "\"/>\n"
                      "  <PTZProtocols>\n"
                      "    <Protocol Name=\"Line\" ProgID=\"K47PTZ.K47PelcoD\" COMPort=\"" +
                      pty_.slave_path() +
                      "\" BaudRate=\"9600\"/>\n"
                      "    <Protocol Name=\"Broken\" ProgID=\"K47PTZ.NoSuchDriver\"/>\n"
                      "  </PTZProtocols>\n"
                      "  <Cameras>\n"
                      "    <Camera Name=\"Gate\" Protocol=\"Line\" Address=\"1\"/>\n"
                      "    <Camera Name=\"Lost\" Protocol=\"Broken\" Address=\"1\"/>\n"
                      "  </Cameras>\n"
                      "</Installation>\n");
        // The host reports to a service manager (systemd's Type=notify) on this socket.
        notify_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un notifyAddress{};
        notifyAddress.sun_family = AF_UNIX;
        const std::string notifyPath = folder_.Path() + "/notify";
        ASSERT_LT(notifyPath.size(), sizeof(notifyAddress.sun_path));
        notifyPath.copy(notifyAddress.sun_path, notifyPath.size());
        ASSERT_EQ(::bind(notify_.get(), reinterpret_cast<sockaddr*>(&notifyAddress),
                         sizeof(notifyAddress)),
                  0);
        setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
        host_ =
            std::make_unique<k47test::ToolProcess>(k47test::BinaryDir() + "/bin/k47ptz-host",
                                                   std::vector<std::string>{"--config", config});
        unsetenv("NOTIFY_SOCKET");
        ASSERT_TRUE(host_->started());
        for (;;) {
            auto line = host_->ReadLine(std::chrono::seconds(20));
            ASSERT_TRUE(line.has_value()) << "the host did not become ready: " << host_->Stderr();
            size_t at = line->find("control service at ");
            if (at != std::string::npos) {
                std::string url = line->substr(at + 19);
                url = url.substr(0, url.find("/VLTControl"));
                (url.rfind("https", 0) == 0 ? https_ : http_) = url;
            }
            if (line->find("ready") != std::string::npos)
                break;
        }
        ASSERT_FALSE(http_.empty());
        ASSERT_FALSE(https_.empty());
        // The one stop every camera gets before the host is ready.
        ASSERT_TRUE(WaitForFrames([](const auto& frames) { return !frames.empty(); }, 2s));
        ASSERT_EQ(frames_.size(), 1u);
        ASSERT_EQ(frames_[0].kind, FrameKind::kStop);
        frames_.clear();
    }

    void TearDown() override {
        host_.reset();
        CoUninitialize();
    }

    ComPtr<IK47PTZClient> Client() {
        ComPtr<IK47PTZClient> client;
        // Through the registry: the module registered for this test is loaded into this process.
        EXPECT_HR_OK(CoCreateInstance(CLSID_PTZClientRemote, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IK47PTZClient,
                                      reinterpret_cast<void**>(client.GetAddressOf())));
        return client;
    }
    HRESULT Connect(IK47PTZClient* client, const std::string& url, const char16_t* camera) {
        CComBSTR address(CA2W(url.c_str()));
        CComBSTR name(camera);
        return client->Connect(address, name);
    }

    // Decodes what the host writes on the line until `done` holds over all frames seen so far.
    bool WaitForFrames(const std::function<bool(const std::vector<DecodedFrame>&)>& done,
                       std::chrono::milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        while (!done(frames_)) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            auto bytes = pty_.ReadAvailable(256, std::min(left, std::chrono::milliseconds(200)));
            decoder_->Feed(bytes.data(), bytes.size(), frames_);
        }
        return true;
    }
    // The next datagram to the service manager's socket; "" when none came in `timeout`.
    std::string NextNotification(std::chrono::milliseconds timeout) {
        pollfd p{notify_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return "";
        char buffer[512];
        const ssize_t n = ::recv(notify_.get(), buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    }
    static size_t Count(const std::vector<DecodedFrame>& frames, FrameKind kind) {
        return std::count_if(frames.begin(), frames.end(),
                             [kind](const DecodedFrame& f) { return f.kind == kind; });
    }

    k47test::ScopedRegistryFolder registry_;
    k47test::TempFolder folder_;
    k47::PtyPair pty_;
    std::unique_ptr<k47::sim::FrameDecoder> decoder_ =
        k47::sim::MakeDecoder(k47::sim::Protocol::kPelcoD);
    std::vector<DecodedFrame> frames_;
    k47::UniqueFd notify_;
    std::unique_ptr<k47test::ToolProcess> host_;
    std::string http_, https_;
};

// A raw HTTP exchange with the service (for requests the client would never send).
k47test::Reply RawHttp(const std::string& url, const std::string& request) {
    int port = std::stoi(url.substr(url.rfind(':') + 1));
    return k47test::Exchange(AF_INET, static_cast<uint16_t>(port), request);
}

}  // namespace

TEST_F(HostEndToEnd, ARemoteClientSteersACameraOverHttpAndHttps) {
    ComPtr<IK47PTZClient> client = Client();
    ASSERT_HR_OK(Connect(client.Get(), http_, u"Gate"));

    ASSERT_HR_OK(client->MoveRelative(50, 0, 0, 0, 0));
    ASSERT_TRUE(WaitForFrames(
        [](const std::vector<DecodedFrame>& frames) {
            return std::count_if(frames.begin(), frames.end(), [](const DecodedFrame& f) {
                       return f.kind == FrameKind::kMove && f.pan.direction == 1 &&
                              f.pan.speed == 31;
                   }) >= 3;  // the datagrams keep coming every 100 ms
        },
        std::chrono::seconds(5)));
    ASSERT_HR_OK(client->EndMotion());
    // The end flag makes the camera repeat its stop 11 times, 0.4 s apart.
    ASSERT_TRUE(
        WaitForFrames([](const auto& frames) { return Count(frames, FrameKind::kStop) >= 11; },
                      std::chrono::seconds(8)));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    WaitForFrames([](const auto&) { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(Count(frames_, FrameKind::kStop), 11u);

    ASSERT_HR_OK(client->Command(PTZCMD_GOTOPRESET, 5));
    ASSERT_TRUE(WaitForFrames(
        [](const auto& frames) {
            return !frames.empty() && frames.back().kind == FrameKind::kPresetGo &&
                   frames.back().preset == 5;
        },
        std::chrono::seconds(3)));
    PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
    ULONG presets = 0;
    ASSERT_HR_OK(client->QueryFunctions(&functions, &presets));
    EXPECT_EQ(functions, 0x1A);
    EXPECT_EQ(presets, 15u);
    for (const auto& frame : frames_)
        EXPECT_NE(frame.kind, FrameKind::kMalformed) << k47::sim::Describe(frame);

    // The same camera over HTTPS (the host's certificate comes from an authority this process
    // trusts).
    ComPtr<IK47PTZClient> secure = Client();
    ASSERT_HR_OK(Connect(secure.Get(), https_, u"Gate"));
    ASSERT_HR_OK(secure->Command(PTZCMD_SETPRESET, 7));
    ASSERT_TRUE(WaitForFrames(
        [](const auto& frames) {
            return !frames.empty() && frames.back().kind == FrameKind::kPresetSet &&
                   frames.back().preset == 7;
        },
        std::chrono::seconds(3)));
}

// systemd (Type=notify): ready once, after the listeners, naming the cameras bound (the broken
// protocol's camera is not); stopping as soon as the signal is taken; nothing else.
TEST_F(HostEndToEnd, TheServiceManagerHearsReadyThenStopping) {
    EXPECT_EQ(NextNotification(2s), "READY=1\nSTATUS=1 camera(s) ready");
    EXPECT_EQ(NextNotification(100ms), "");
    ASSERT_TRUE(host_->Signal(SIGTERM));
    EXPECT_EQ(NextNotification(5s), "STOPPING=1");
    EXPECT_EQ(host_->Wait(10s), std::optional<int>(0));
    EXPECT_EQ(NextNotification(0ms), "");
}

TEST_F(HostEndToEnd, FailuresAreReportedAndTheRestKeepsWorking) {
    k47test::LogCapture log;
    ComPtr<IK47PTZClient> client = Client();
    EXPECT_HR(E_FAIL, Connect(client.Get(), http_, u"Nobody"));
    EXPECT_TRUE(log.Contains("unknown camera")) << (log.Lines().empty() ? "" : log.Lines().back());
    log.Clear();
    // The camera of the broken protocol element exists but is not bound.
    EXPECT_HR(E_FAIL, Connect(client.Get(), http_, u"Lost"));
    EXPECT_TRUE(log.Contains("not bound")) << (log.Lines().empty() ? "" : log.Lines().back());
    // ... while the other camera works.
    ASSERT_HR_OK(Connect(client.Get(), http_, u"Gate"));
    ASSERT_HR_OK(client->Command(PTZCMD_GOTOPRESET, 2));

    // A port nobody listens on fails quickly.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    auto start = Clock::now();
    EXPECT_HR(E_FAIL,
              Connect(client.Get(), "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)),
                      u"Gate"));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));

    // Requests no client sends get answers, not a crash.
    std::string garbage = "<<<not xml";
    k47test::Reply answer =
        RawHttp(http_,
                "POST /VLTControl/VLTControl.asmx HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
                "Content-Length: " +
                    std::to_string(garbage.size()) + "\r\nConnection: close\r\n\r\n" + garbage);
    EXPECT_EQ(answer.status, 500u) << answer.head;
    EXPECT_NE(answer.body.find("soap:Client"), std::string::npos) << answer.body;
    answer = RawHttp(
        http_, "GET /VLTControl/VLTControl.asmx HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.status, 200u) << answer.head;  // the endpoint's help text
    answer = RawHttp(
        http_,
        "POST /elsewhere HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.status, 404u) << answer.head;
    // The host is still serving (the failed Connect above left the client on the dead address).
    ASSERT_HR_OK(Connect(client.Get(), http_, u"Gate"));
    ASSERT_HR_OK(client->Command(PTZCMD_GOTOPRESET, 3));
}
