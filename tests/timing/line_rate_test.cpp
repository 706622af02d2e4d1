// Serial lines at their real rate, end to end: a real k47ptz-host steering cameras on ptzsim lines
// that pace like real ones (each frame stamped with the arrival of its last byte), remote clients
// in this process. Oversubscribed lines stop every camera within the line's own time, a write on
// an idle line is done when its last byte arrives, a stuck line delays nobody else, and a line
// whose far end goes away and comes back flows again without a restart.
//
// Time bases: ptzsim reports CLOCK_MONOTONIC at its start and each frame's time since then;
// steady_clock is CLOCK_MONOTONIC too, so the two compare directly.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame/K47PTZ.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"
#include "tests/tools/SimProcess.h"
#include "tests/tools/ToolProcess.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

double Seconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

using Frame = k47test::SimProcess::Frame;
using SimLine = k47test::SimProcess;

struct LineSpec {
    std::string name;
    std::string protocol;  // ptzsim's name
    std::string progId;
    int baud;
    int cameras;  // addresses 1..cameras, named NAME-1, NAME-2, ...
    double frameSeconds;
    std::vector<std::string> simArgs;
};

class LineRateTest : public ::testing::Test {
  protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override {
        clients_.clear();
        host_.reset();
        lines_.clear();
        CoUninitialize();
    }

    void Start(const std::vector<LineSpec>& specs) {
        specs_ = specs;
        std::string output;
        ASSERT_EQ(k47test::RegisterModuleWithTool(&output), 0) << output;
        std::string protocols, cameras;
        for (const LineSpec& spec : specs) {
            const std::string link = folder_.Path() + "/" + spec.name + ".tty";
            lines_[spec.name] = std::make_unique<SimLine>(spec.protocol, link, spec.simArgs);
            ASSERT_TRUE(lines_[spec.name]->ready()) << spec.name;
            protocols += "    <Protocol Name=\"" + spec.name + "\" ProgID=\"" + spec.progId +
                         "\" COMPort=\"" + link + "\" BaudRate=\"" + std::to_string(spec.baud) +
                         "\"/>\n";
            for (int a = 1; a <= spec.cameras; ++a)
                cameras += "    <Camera Name=\"" + spec.name + "-" + std::to_string(a) +
                           "\" Protocol=\"" + spec.name + "\" Address=\"" + std::to_string(a) +
                           "\"/>\n";
        }
        const int firstPort = std::min<int>(k47test::FreeUdpPort(), 65535 - 99);
        const std::string config = folder_.Path() + "/installation.xml";
        std::ofstream(config) << "<Installation>\n"
                                 "  <ControlService Listen=\"127.0.0.1\" Port=\"0\"/>\n"
                                 "  <PortService First=\""
                              << firstPort << "\" Last=\"" << firstPort + 99
                              << "\"/>\n  <PTZProtocols>\n"
                              << protocols << "  </PTZProtocols>\n  <Cameras>\n"
                              << cameras << "  </Cameras>\n</Installation>\n";
        host_ =
            std::make_unique<k47test::ToolProcess>(k47test::BinaryDir() + "/bin/k47ptz-host",
                                                   std::vector<std::string>{"--config", config});
        for (;;) {
            auto line = host_->ReadLine(seconds(20));
            ASSERT_TRUE(line.has_value()) << "the host did not become ready: " << host_->Stderr();
            size_t at = line->find("control service at ");
            if (at != std::string::npos) {
                url_ = line->substr(at + 19);
                url_ = url_.substr(0, url_.find("/VLTControl"));
            }
            if (line->find("ready") != std::string::npos)
                break;
        }
        ASSERT_FALSE(url_.empty());
    }

    ComPtr<IK47PTZClient> Connect(const std::string& camera) {
        ComPtr<IK47PTZClient> client;
        EXPECT_HR_OK(CoCreateInstance(CLSID_PTZClientRemote, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IK47PTZClient,
                                      reinterpret_cast<void**>(client.GetAddressOf())));
        CComBSTR address(CA2W(url_.c_str()));
        CComBSTR name(CA2W(camera.c_str()));
        EXPECT_HR_OK(client->Connect(address, name)) << camera;
        clients_[camera] = client;
        return client;
    }

    // Moves every camera of the line (pan 40, renewed 10 times a second by each client).
    void MoveAll(const LineSpec& spec) {
        for (int a = 1; a <= spec.cameras; ++a)
            ASSERT_HR_OK(
                Connect(spec.name + "-" + std::to_string(a))->MoveRelative(40, 0, 0, 0, 0));
    }

    // Host log so far (kept across calls).
    std::string HostLog() {
        host_log_ += host_->Stderr();
        return host_log_;
    }
    static size_t CountOf(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    // For each camera of the line: the time of its first stop after `after`, and whether a move
    // of it followed that stop.
    struct StopResult {
        std::optional<double> firstStop;
        int movesBefore = 0;
        bool moveAfterStop = false;
    };
    std::map<int, StopResult> StopsAfter(const std::string& line, double after) {
        std::map<int, StopResult> out;
        for (const Frame& f : lines_[line]->Frames()) {
            StopResult& r = out[f.address];
            if (f.at < after) {
                r.movesBefore += f.kind == "move";
                continue;
            }
            if (f.kind == "stop" && !r.firstStop)
                r.firstStop = f.at;
            else if (f.kind == "move" && r.firstStop)
                r.moveAfterStop = true;
        }
        return out;
    }

    k47test::ScopedRegistryFolder registry_;
    k47test::TempFolder folder_;
    std::vector<LineSpec> specs_;
    std::map<std::string, std::unique_ptr<SimLine>> lines_;
    std::unique_ptr<k47test::ToolProcess> host_;
    std::string url_;
    std::string host_log_;
    std::map<std::string, ComPtr<IK47PTZClient>> clients_;
};

// Frame times: 7 bytes of 10 bits for Pelco-D, a Panasonic move (51 bytes, newer layout), an
// 8-byte Bosch move.
constexpr double kPelco2400 = 70.0 / 2400;
constexpr double kPanasonic9600 = 510.0 / 9600;
constexpr double kBosch9600 = 80.0 / 9600;

// Six Pelco-D cameras on a 2400-baud line, three Panasonic and four Bosch cameras on 9600-baud
// lines, all moving at once for 15 s with every line oversubscribed or close to it. When the
// clients end, each camera's first stop is on the wire no earlier than the 0.4 s the camera
// waits before it, and no later than that plus one 100 ms tick plus one frame time per camera on
// its line: no backlog of stale moves anywhere. No move of a camera follows its stop.
TEST_F(LineRateTest, OversubscribedLinesStopEveryCameraWithinTheLineTime) {
    Start({{"Pelco", "pelco-d", "K47PTZ.K47PelcoD", 2400, 6, kPelco2400, {}},
           {"Pana", "panasonic", "K47PTZ.K47Panasonic", 9600, 3, kPanasonic9600, {}},
           {"Bosch", "bosch", "K47PTZ.Bosch", 9600, 4, kBosch9600, {}}});
    for (const LineSpec& spec : specs_)
        MoveAll(spec);
    std::this_thread::sleep_for(seconds(15));
    const double end = Seconds(Clock::now());
    for (auto& [name, client] : clients_)
        ASSERT_HR_OK(client->EndMotion()) << name;
    std::this_thread::sleep_for(milliseconds(1500));
    for (const LineSpec& spec : specs_) {
        const double bound = 0.4 + 0.1 + spec.cameras * spec.frameSeconds;
        std::map<int, StopResult> stops = StopsAfter(spec.name, end);
        for (int a = 1; a <= spec.cameras; ++a) {
            const StopResult& r = stops[a];
            const std::string camera = spec.name + "-" + std::to_string(a);
            EXPECT_GT(r.movesBefore, 10) << camera << ": the camera moved";
            ASSERT_TRUE(r.firstStop.has_value()) << camera << ": no stop";
            const double delay = *r.firstStop - end;
            EXPECT_GE(delay, 0.4) << camera;
            EXPECT_LE(delay, bound) << camera;
            EXPECT_FALSE(r.moveAfterStop) << camera << ": a stale move followed the stop";
            std::printf("[ line ] %s first stop %.0f ms after the end (bound %.0f ms)\n",
                        camera.c_str(), delay * 1000, bound * 1000);
        }
    }
}

// A move on an idle 9600-baud line is done when its last byte has arrived: the call takes one
// frame time (7.29 ms), never less, and the far end stamps the last byte by the time it returns.
TEST_F(LineRateTest, AMoveOnAnIdleLineReturnsWhenItsLastByteArrives) {
    std::string output;
    ASSERT_EQ(k47test::RegisterModuleWithTool(&output), 0);
    const std::string link = folder_.Path() + "/idle.tty";
    lines_["idle"] = std::make_unique<SimLine>("pelco-d", link);
    ASSERT_TRUE(lines_["idle"]->ready());
    ComPtr<IK47ObjectConfiguration> configuration;
    ASSERT_HR_OK(CoCreateInstance(CLSID_K47PelcoD, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IK47ObjectConfiguration,
                                  reinterpret_cast<void**>(configuration.GetAddressOf())));
    ASSERT_HR_OK(configuration->Initialize(
        k47test::XmlElement("<Protocol COMPort=\"" + link + "\" BaudRate=\"9600\"/>").Get(),
        nullptr, 0));
    ComPtr<IK47PTZProtocol> driver;
    ASSERT_HR_OK(configuration.As(&driver));
    constexpr int kCalls = 20;
    constexpr double kFrame = 70.0 / 9600;
    std::vector<double> starts, returns;
    for (int i = 0; i < kCalls; ++i) {
        std::this_thread::sleep_for(milliseconds(30));  // the line is idle again
        starts.push_back(Seconds(Clock::now()));
        ASSERT_HR_OK(driver->MoveRelative(1, i % 2 ? 100 : -100, 0, 0, 0, 0));
        returns.push_back(Seconds(Clock::now()));
    }
    std::this_thread::sleep_for(milliseconds(200));
    std::vector<Frame> frames = lines_["idle"]->Frames();
    ASSERT_EQ(frames.size(), static_cast<size_t>(kCalls));
    std::vector<double> took, trails;
    for (int i = 0; i < kCalls; ++i) {
        took.push_back(returns[i] - starts[i]);
        trails.push_back(frames[i].at - returns[i]);
        EXPECT_GE(returns[i] - starts[i], kFrame) << "call " << i << " returned early";
        EXPECT_GE(frames[i].at, starts[i] + kFrame - 0.0002) << "call " << i;
    }
    // The far end notices the first byte a moment after the write, so its stamp trails the return
    // by that wake-up. A loaded machine (a sanitizer build beside a compiler) has delayed single
    // wake-ups past a frame; the median trails by a wake-up, while calls that return before the
    // wire would trail by most of a frame.
    std::sort(trails.begin(), trails.end());
    EXPECT_LE(trails[kCalls / 2], 0.003)
        << "median stamp after the return: returned before the wire";
    std::sort(took.begin(), took.end());
    EXPECT_LT(took[kCalls / 2], kFrame + 0.003) << "median call time";
    std::printf(
        "[ line ] idle 9600 Bd move: median %.2f ms, max %.2f ms (frame time %.2f ms); "
        "stamp after return: median %.2f ms, max %.2f ms\n",
        took[kCalls / 2] * 1000, took.back() * 1000, kFrame * 1000, trails[kCalls / 2] * 1000,
        trails.back() * 1000);
}

// One line's far end stops taking bytes. The other line's cameras move and stop on time, a call
// on the stuck line returns within the write bound, the log says once that the line is stuck,
// and the host still ends within 5 s of SIGTERM.
TEST_F(LineRateTest, AStuckLineDelaysNoOtherLineAndNoShutdown) {
    Start({{"Stuck", "pelco-d", "K47PTZ.K47PelcoD", 9600, 2, 70.0 / 9600, {"--stall"}},
           {"Free", "pelco-d", "K47PTZ.K47PelcoD", 9600, 2, 70.0 / 9600, {}}});
    for (const LineSpec& spec : specs_)
        MoveAll(spec);
    std::this_thread::sleep_for(seconds(2));
    // A command on the stuck line: one write bound (285 ms) for each frame ahead of it at most.
    const auto commandStart = Clock::now();
    // The service reports the driver's time-out as a failed command.
    EXPECT_TRUE(FAILED(clients_["Stuck-1"]->Command(PTZCMD_GOTOPRESET, 2)));
    EXPECT_LT(Clock::now() - commandStart, milliseconds(3 * 285 + 400));
    const double end = Seconds(Clock::now());
    for (auto& [name, client] : clients_)
        ASSERT_HR_OK(client->EndMotion()) << name;
    std::this_thread::sleep_for(milliseconds(1000));
    std::map<int, StopResult> stops = StopsAfter("Free", end);
    for (int a = 1; a <= 2; ++a) {
        EXPECT_GT(stops[a].movesBefore, 10) << "Free-" << a;
        ASSERT_TRUE(stops[a].firstStop.has_value()) << "Free-" << a;
        EXPECT_GE(*stops[a].firstStop - end, 0.4);
        EXPECT_LE(*stops[a].firstStop - end, 0.5 + 2 * 70.0 / 9600) << "Free-" << a;
    }
    EXPECT_TRUE(lines_["Stuck"]->Frames().empty());
    const std::string log = HostLog();
    EXPECT_EQ(CountOf(log, "line \"Stuck\""), 1u) << log;
    EXPECT_EQ(CountOf(log, "is stuck"), 1u) << log;
    // The status says so, with the bound the frame missed; the other line is up.
    std::string said;
    EXPECT_EQ(k47test::RunCommand(
                  k47test::BinaryDir() + "/bin/ptzctl -s " + url_ + " -c Stuck-1 status", &said),
              0);
    EXPECT_NE(said.find("): stuck\n"), std::string::npos) << said;
    EXPECT_NE(said.find("last error: a frame did not leave within 285 ms"), std::string::npos)
        << said;
    said.clear();
    EXPECT_EQ(k47test::RunCommand(
                  k47test::BinaryDir() + "/bin/ptzctl -s " + url_ + " -c Free-1 status", &said),
              0);
    EXPECT_NE(said.find("): up\n"), std::string::npos) << said;
    const auto termStart = Clock::now();
    ASSERT_TRUE(host_->Signal(SIGTERM));
    auto status = host_->Wait(seconds(10));
    ASSERT_TRUE(status.has_value()) << "the host did not end";
    EXPECT_EQ(*status, 0);
    EXPECT_LT(Clock::now() - termStart, seconds(5));
}

// The simulator dies (its pty hangs up) and a new one starts on the same link path: frames flow
// again within 3 s of the restart with no host restart, and the host logs one line when the
// line goes down and one when it is back.
TEST_F(LineRateTest, ALineWhoseFarEndRestartsFlowsAgainWithoutAHostRestart) {
    const std::string link = folder_.Path() + "/Gate.tty";
    Start({{"Gate", "pelco-d", "K47PTZ.K47PelcoD", 9600, 1, 70.0 / 9600, {}}});
    MoveAll(specs_[0]);
    std::this_thread::sleep_for(milliseconds(1000));
    ASSERT_FALSE(lines_["Gate"]->Frames().empty());
    lines_["Gate"]->End(SIGKILL);
    std::this_thread::sleep_for(milliseconds(300));  // a few moves meet the hung-up line
    lines_["Gate"] = std::make_unique<SimLine>("pelco-d", link);
    ASSERT_TRUE(lines_["Gate"]->ready());
    const double restarted = Seconds(Clock::now());
    std::optional<double> firstFrame;
    while (!firstFrame && Seconds(Clock::now()) < restarted + 5) {
        std::this_thread::sleep_for(milliseconds(50));
        std::vector<Frame> frames = lines_["Gate"]->Frames();
        if (!frames.empty())
            firstFrame = frames.front().at;
    }
    ASSERT_TRUE(firstFrame.has_value()) << "no frame after the restart";
    EXPECT_LT(*firstFrame - restarted, 3.0);
    std::printf("[ line ] frames again %.0f ms after the simulator restarted\n",
                (*firstFrame - restarted) * 1000);
    std::vector<Frame> frames = lines_["Gate"]->Frames();
    EXPECT_EQ(frames.front().kind, "stop") << "a line that comes back stops its cameras first";
    const std::string log = HostLog();
    EXPECT_EQ(CountOf(log, "is down"), 1u) << log;
    EXPECT_EQ(CountOf(log, "is back"), 1u) << log;
}

}  // namespace
