// End to end: neither the host's life cycle nor an interrupted ptzctl leaves a camera moving. A
// real k47ptz-host on pty lines whose far ends this test decodes (115200 Bd, so that line time
// plays no part), the remote client in this process, a flooding datagram sender, and ptzctl as a
// child process on the remote and the local client, in both of its motion modes.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>
#include <k47/pty.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "frame/K47PTZ.h"
#include "sim/FrameDecoder.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"
#include "tests/tools/ToolProcess.h"

using k47::sim::DecodedFrame;
using k47::sim::FrameKind;
using k47::sim::Protocol;
using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct TimedFrame {
    DecodedFrame frame;
    Clock::time_point at;  // when this test read it
};

// A camera line: the far end of a pty, decoded as the bytes come.
struct Line {
    explicit Line(Protocol protocol) : decoder(k47::sim::MakeDecoder(protocol)) {}

    void Read(std::chrono::milliseconds wait) {
        auto bytes = pty.ReadAvailable(512, wait);
        std::vector<DecodedFrame> decoded;
        decoder->Feed(bytes.data(), bytes.size(), decoded);
        for (auto& frame : decoded)
            frames.push_back({std::move(frame), Clock::now()});
    }
    void ReadFor(std::chrono::milliseconds span) {
        for (auto end = Clock::now() + span; Clock::now() < end;)
            Read(10ms);
    }
    // The frames to `address` read from `since` on.
    std::vector<TimedFrame> To(int address, Clock::time_point since = {}) const {
        std::vector<TimedFrame> out;
        for (const auto& f : frames)
            if (f.frame.address == address && f.at >= since)
                out.push_back(f);
        return out;
    }

    k47::PtyPair pty;
    std::unique_ptr<k47::sim::FrameDecoder> decoder;
    std::vector<TimedFrame> frames;
};

size_t Count(const std::vector<TimedFrame>& frames, FrameKind kind) {
    return std::count_if(frames.begin(), frames.end(),
                         [kind](const TimedFrame& f) { return f.frame.kind == kind; });
}

class MotionEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        setenv("K47_RUNTIME_DIR", (folder_.Path() + "/run").c_str(), 1);  // for --local
        std::string output;
        ASSERT_EQ(k47test::RunCommand(k47test::BinaryDir() + "/bin/k47regsvr " +
                                          k47test::BinaryDir() + "/lib/libK47PTZ.so",
                                      &output),
                  0)
            << output;
    }
    void TearDown() override {
        host_.reset();
        unsetenv("K47_RUNTIME_DIR");
        CoUninitialize();
    }

    // Starts the host with `protocols` and `cameras` (XML elements) and reads its output up to
    // "ready"; nothing is read from the lines yet.
    void StartHost(const std::string& protocols, const std::string& cameras) {
        firstPort_ = std::min<int>(k47test::FreeUdpPort(), 65535 - 9);
        const std::string config = folder_.Path() + "/installation.xml";
        std::ofstream(config) << "<Installation><ControlService Listen=\"127.0.0.1\" Port=\"0\"/>"
                              << "<PortService First=\"" << firstPort_ << "\" Last=\""
                              << firstPort_ + 9 << "\"/><PTZProtocols>" << protocols
                              << "</PTZProtocols><Cameras>" << cameras
                              << "</Cameras></Installation>";
        host_ = std::make_unique<k47test::ToolProcess>(k47test::BinaryDir() + "/bin/k47ptz-host",
                                                       std::vector<std::string>{"-c", config});
        for (;;) {
            auto line = host_->ReadLine(20s);
            ASSERT_TRUE(line.has_value()) << "the host did not become ready: " << host_->Stderr();
            if (auto at = line->find("http://"); at != std::string::npos)
                url_ = line->substr(at, line->find("/VLTControl") - at);
            if (line->find("ready") != std::string::npos)
                break;
        }
    }
    static std::string Pelco(const std::string& name, const Line& line) {
        return "<Protocol Name=\"" + name + "\" ProgID=\"K47PTZ.K47PelcoD\" COMPort=\"" +
               line.pty.slave_path() + "\" BaudRate=\"115200\"/>";
    }
    static std::string Camera(const std::string& name, const std::string& protocol, int address) {
        return "<Camera Name=\"" + name + "\" Protocol=\"" + protocol + "\" Address=\"" +
               std::to_string(address) + "\"/>";
    }
    ComPtr<IK47PTZClient> Connect(const char16_t* camera) {
        ComPtr<IK47PTZClient> client;
        EXPECT_HR_OK(CoCreateInstance(CLSID_PTZClientRemote, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IK47PTZClient,
                                      reinterpret_cast<void**>(client.GetAddressOf())));
        CComBSTR address(CA2W(url_.c_str()));
        CComBSTR name(camera);
        EXPECT_HR_OK(client->Connect(address, name));
        return client;
    }

    k47test::ScopedRegistryFolder registry_;
    k47test::TempFolder folder_;
    std::unique_ptr<k47test::ToolProcess> host_;
    std::string url_;
    int firstPort_ = 0;
};

// Three 2400-baud Pelco-D lines of four cameras, a Bosch line, 36 drivers without a port (more
// lines than the host serves at once) with a camera each, and an unbound camera. A Pelco-D stop
// takes 70 bits, 29.17 ms, on its line. The lines' stops go out together: no faster
// than one line's four (116.7 ms), and short of all twelve one after another (350 ms) by 58 ms a
// stop, which no scheduling delay of a loaded machine eats.
TEST_F(MotionEndToEnd, EveryBoundCameraGetsOneStopBeforeReadyTheLinesAtOnce) {
    Line lines[4] = {Line(Protocol::kPelcoD), Line(Protocol::kPelcoD), Line(Protocol::kPelcoD),
                     Line(Protocol::kBosch)};
    std::string protocols = "<Protocol Name=\"L3\" ProgID=\"K47PTZ.Bosch\" COMPort=\"" +
                            lines[3].pty.slave_path() + "\" BaudRate=\"115200\"/>";
    std::string cameras = Camera("Dock", "L3", 5) + Camera("Lost", "Nowhere", 3);
    for (int n = 0; n < 36; ++n) {
        protocols += "<Protocol Name=\"N" + std::to_string(n) + "\" ProgID=\"K47PTZ.K47PelcoD\"/>";
        cameras += Camera("P" + std::to_string(n), "N" + std::to_string(n), 1);
    }
    for (int l = 0; l < 3; ++l) {
        protocols += "<Protocol Name=\"L" + std::to_string(l) +
                     "\" ProgID=\"K47PTZ.K47PelcoD\" COMPort=\"" + lines[l].pty.slave_path() +
                     "\" BaudRate=\"2400\"/>";
        for (int address = 1; address <= 4; ++address)
            cameras += Camera("C" + std::to_string(l) + std::to_string(address),
                              "L" + std::to_string(l), address);
    }
    ASSERT_NO_FATAL_FAILURE(StartHost(protocols, cameras));
    const std::string log = host_->Stderr();
    auto check = [&] {
        for (Line& line : lines) {
            const size_t cameras = &line == &lines[3] ? 1 : 4;
            ASSERT_EQ(line.frames.size(), cameras);
            for (const auto& f : line.frames) {
                EXPECT_EQ(f.frame.kind, FrameKind::kStop) << k47::sim::Describe(f.frame);
                EXPECT_EQ(line.To(f.frame.address).size(), 1u) << k47::sim::Describe(f.frame);
            }
        }
    };
    for (Line& line : lines)
        line.Read(0ms);  // written before "ready", so already waiting
    ASSERT_NO_FATAL_FAILURE(check());
    lines[0].ReadFor(1s);  // and nothing follows before the camera's own 5 s time-out
    for (Line& line : lines)
        line.ReadFor(10ms);
    ASSERT_NO_FATAL_FAILURE(check());

    const std::string head = "start-up: 49 camera(s) stopped, 0 failed, in ";
    size_t at = log.find(head);
    ASSERT_NE(at, std::string::npos) << log;
    const int took = std::stoi(log.substr(at + head.size()));
    EXPECT_GE(took, 116);
    EXPECT_LT(took, 350);
}

TEST_F(MotionEndToEnd, AStopThatFailsIsLoggedAndTheHostStartsAnyway) {
    Line stuck(Protocol::kPelcoD), fine(Protocol::kPelcoD);
    // Output suspended on the line, as by a far end holding it: the stop's write times out.
    int hold = open(stuck.pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(hold, 0);
    ASSERT_EQ(tcflow(hold, TCOOFF), 0);
    ASSERT_NO_FATAL_FAILURE(StartHost(Pelco("A", stuck) + Pelco("B", fine),
                                      Camera("Gate", "A", 1) + Camera("Yard", "B", 2)));
    fine.ReadFor(50ms);
    EXPECT_EQ(Count(fine.To(2), FrameKind::kStop), 1u);
    const std::string log = host_->Stderr();
    EXPECT_NE(log.find("camera \"Gate\" could not be stopped: "), std::string::npos) << log;
    EXPECT_NE(log.find("start-up: 1 camera(s) stopped, 1 failed"), std::string::npos) << log;
    close(hold);
}

TEST_F(MotionEndToEnd, SigtermStopsEveryMovingCameraLastAndTheHostExitsCleanly) {
    Line a(Protocol::kPelcoD), b(Protocol::kPelcoD);
    ASSERT_NO_FATAL_FAILURE(
        StartHost(Pelco("A", a) + Pelco("B", b), Camera("Gate", "A", 1) + Camera("Yard", "B", 2)));
    // Gate is moved by the remote client, Yard by a sender flooding its datagram port (on a line
    // of its own, which the flood keeps busy): a move already on the camera's worker when the
    // stop goes out must not follow it.
    ComPtr<IK47PTZClient> client = Connect(u"Gate");
    ComPtr<IK47PTZClient> session = Connect(u"Yard");  // opens Yard's port, the range's second
    ASSERT_HR_OK(client->MoveRelative(0, 30, 0, 0, 0));
    std::jthread flood([port = static_cast<uint16_t>(firstPort_ + 1)](std::stop_token stop) {
        k47test::UdpPeer sender;
        for (uint16_t sequence = 1; !stop.stop_requested(); ++sequence) {
            sender.SendDatagram(port, k47test::Motion(sequence, 40));
            std::this_thread::sleep_for(200us);
        }
    });
    auto moving = [&] {
        return Count(a.To(1), FrameKind::kMove) >= 3 && Count(b.To(2), FrameKind::kMove) >= 3;
    };
    for (auto end = Clock::now() + 5s; !moving() && Clock::now() < end;) {
        a.Read(10ms);
        b.Read(10ms);
    }
    ASSERT_TRUE(moving());
    const auto signalled = Clock::now();
    ASSERT_TRUE(host_->Signal(SIGTERM));
    std::optional<int> status = host_->Wait(5s);
    flood.request_stop();
    ASSERT_TRUE(status.has_value()) << "the host did not exit within 5 s";
    EXPECT_EQ(*status, 0);
    a.ReadFor(300ms);  // what the host wrote before it exited
    b.ReadFor(300ms);
    for (auto [line, address] : std::initializer_list<std::pair<Line*, int>>{{&a, 1}, {&b, 2}}) {
        auto frames = line->To(address, signalled);
        ASSERT_FALSE(frames.empty()) << "camera " << address;
        EXPECT_EQ(Count(frames, FrameKind::kStop), 1u) << "camera " << address;
        EXPECT_EQ(frames.back().frame.kind, FrameKind::kStop) << "camera " << address;
    }
    const std::string log = host_->Stderr();
    EXPECT_NE(log.find("shutdown: 2 camera(s) stopped, 0 failed"), std::string::npos) << log;
    client->EndMotion();
}

// ptzctl moving a camera, ended every way it can be: signals during `move --for 60` (remote and
// local client) and the ways out of the keyboard mode. Each camera (on a line of its own, so that
// no move of another camera takes its place) must see zero speeds, a stop long before the 5 s
// time-out, and then the end of motion, 11 repeated stops.
TEST_F(MotionEndToEnd, PtzctlEndsItsMotionAtOnceHoweverItIsInterrupted) {
    enum class End { kSignal, kQuitKey, kEndOfInput };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        End end;
        int signal;  // sent, and expected to end ptzctl; 0: exit status 0
        Line line{Protocol::kPelcoD};
        std::unique_ptr<k47::PtyPair> terminal{};
        std::unique_ptr<k47test::ToolProcess> ptzctl{};
        Clock::time_point ended{}, exited{};
    };
    Case cases[] = {
        {"C1", {"move", "50", "0", "--for", "60"}, End::kSignal, SIGINT},
        {"C2", {"--local", "move", "0", "-40", "--for", "60"}, End::kSignal, SIGTERM},
        {"C3", {"move", "-30", "0", "--for", "60"}, End::kSignal, SIGHUP},
        {"C4", {"interactive"}, End::kQuitKey, 0},
        {"C5", {"interactive"}, End::kEndOfInput, 0},
        {"C6", {"interactive"}, End::kSignal, SIGTERM},
    };
    std::string protocols, cameras;
    for (Case& c : cases) {
        protocols += Pelco(std::string("L") + c.name, c.line);
        cameras += Camera(c.name, std::string("L") + c.name, 1);
    }
    ASSERT_NO_FATAL_FAILURE(StartHost(protocols, cameras));
    for (Case& c : cases) {
        c.line.ReadFor(20ms);
        c.line.frames.clear();  // the start-up stop
        std::vector<std::string> args = {"--server", url_, "--camera", c.name};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string input;
        if (c.args[0] == "interactive") {
            c.terminal = std::make_unique<k47::PtyPair>();
            input = c.terminal->slave_path();
        }
        c.ptzctl = std::make_unique<k47test::ToolProcess>(k47test::BinaryDir() + "/bin/ptzctl",
                                                          args, input);
    }
    auto readAll = [&](std::chrono::milliseconds span) {
        for (auto end = Clock::now() + span; Clock::now() < end;) {
            for (Case& c : cases) {
                c.line.Read(1ms);
                if (c.exited == Clock::time_point{} && c.ptzctl->Wait(0ms).has_value())
                    c.exited = Clock::now();
            }
        }
    };
    auto allMoving = [&] {
        return std::all_of(std::begin(cases), std::end(cases),
                           [](Case& c) { return Count(c.line.To(1), FrameKind::kMove) >= 2; });
    };
    for (auto end = Clock::now() + 8s; !allMoving() && Clock::now() < end;) {
        for (Case& c : cases)
            if (c.terminal)
                c.terminal->WriteAll("\x1b[C", 3);  // the right arrow, repeating
        readAll(100ms);
    }
    ASSERT_TRUE(allMoving());
    for (Case& c : cases) {
        c.ended = Clock::now();
        if (c.end == End::kQuitKey)
            c.terminal->WriteAll("q", 1);
        else if (c.end == End::kEndOfInput)
            c.terminal->HangUp();
        else
            c.ptzctl->Signal(c.signal);
    }
    // Long enough for the 11 stops 0.4 s apart, short of the 5 s time-out of a client gone.
    readAll(4900ms);
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(c.exited, Clock::time_point{}) << "ptzctl did not end";
        EXPECT_LT(c.exited - c.ended, 2s);
        EXPECT_EQ(c.ptzctl->EndingSignal(), c.signal) << c.ptzctl->Stderr();
        if (c.signal == 0) {
            EXPECT_EQ(c.ptzctl->Wait(0ms), std::optional<int>(0)) << c.ptzctl->Stderr();
        }
        auto frames = c.line.To(1, c.ended);
        auto firstStop = std::find_if(frames.begin(), frames.end(), [](const TimedFrame& f) {
            return f.frame.kind == FrameKind::kStop;
        });
        if (firstStop == frames.end()) {
            ADD_FAILURE() << "no stop";
            continue;
        }
        EXPECT_LT(firstStop->at - c.ended, 500ms);
        EXPECT_EQ(Count({firstStop, frames.end()}, FrameKind::kMove), 0u);
        // One or two stops of the zero speeds (renewed until the end of motion replaces them),
        // one more of the local client's own end of motion, then the 11 repeats.
        EXPECT_GE(Count(frames, FrameKind::kStop), 12u);
        EXPECT_LE(Count(frames, FrameKind::kStop), 14u);
    }
}

}  // namespace
