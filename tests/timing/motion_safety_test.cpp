// Motion safety, end to end: however a motion loses whoever drives it (a client that goes silent,
// dies, is frozen or interrupted, a second sender, a command at the end of a motion, a line that
// vanishes, a host that is stopped or killed), the camera gets its stop on time, the right number
// of times, and nothing moves it after its last stop. Each scenario is a row of one table: how
// its motion starts, what happens to it, when its first stop must be on the wire and counted from
// what, and how many stops follow. A real k47ptz-host steers Pelco-D cameras on ptzsim lines at
// 9600 Bd that pace like real ones; the clients are remote clients in this process, ptzctl
// processes (remote and local), and datagrams the test sends itself on a session from the
// control service. Rows that share a host run at once, each on a line of its own.
//
// Time bases: ptzsim stamps each frame with the arrival of its last byte, in CLOCK_MONOTONIC
// seconds (its start's "monotonic" plus the frame's "elapsed"); steady_clock is CLOCK_MONOTONIC
// too. A stop due a time D after an event cannot be stamped before the event + D + one frame time.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>
#include <k47/pty.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame/K47PTZ.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"
#include "tests/tools/SimProcess.h"
#include "tests/tools/ToolProcess.h"
#include "webservice/SoapSocketClient.h"
#include "webservice/VLTControl.h"
#include "webservice/VLTControlNamespace.h"
#include "webservice/ZEvtSyncSocket2.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double Now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

void SleepUntil(double seconds) {
    std::this_thread::sleep_until(Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))));
}

bool WaitFor(const std::function<bool()>& condition, double seconds) {
    const double deadline = Now() + seconds;
    while (!condition()) {
        if (Now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

constexpr double kFrame = 70.0 / 9600;  // a Pelco-D frame at 9600 Bd: 7.29 ms
constexpr double kDeadMan = 5.0;        // a motion not renewed for this long gets its stop
constexpr double kRepeat = 0.4;         // the stops of an ended motion, this far apart
constexpr int kEndStops = 11;           // an ended motion: the first stop and ten repeats
// ptzsim stamps a frame one frame time after it noticed the frame's first byte, which may trail
// the write by a wake-up (a few ms on a loaded machine). Only bounds that compare a stamp with a
// clock reading taken after the write, or two stamps, allow for it.
constexpr double kWake = 0.02;
// When the rows on a shared host meet their event, seconds after every row's motion runs (row 3,
// which takes longest, meets its own at once).
constexpr double kEventsAt = 2.5;
// How long every row keeps watching after its last expected stop: a stop repeated when it should
// not be comes 0.4 s later.
constexpr double kObserve = 0.6;
// From the end of a motion to its last stop: 0.15 s that ptzctl gives its zero speeds, the 11
// stops, and the line time and wake-up of each.
constexpr double kEndSpan = 0.15 + kRepeat * kEndStops + 0.15;

struct Frame {
    double at;  // CLOCK_MONOTONIC seconds of its last byte
    int address;
    std::string kind;  // ptzsim's name: move, stop, preset-go, preset-set, auto-focus...
    int pan;           // a move's pan speed in Pelco-D steps, negative to the left
    int preset;
};

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

size_t Count(const std::vector<Frame>& frames, const std::string& kind) {
    return std::count_if(frames.begin(), frames.end(),
                         [&](const Frame& f) { return f.kind == kind; });
}

// The frames stamped in [from, to).
std::vector<Frame> Between(const std::vector<Frame>& frames, double from, double to = 1e300) {
    std::vector<Frame> out;
    for (const Frame& f : frames)
        if (f.at >= from && f.at < to)
            out.push_back(f);
    return out;
}

std::optional<Frame> First(const std::vector<Frame>& frames, const std::string& kind,
                           double from = 0) {
    for (const Frame& f : frames)
        if (f.kind == kind && f.at >= from)
            return f;
    return std::nullopt;
}

// The first move panning in this direction (+1 right, -1 left), from `from` on.
std::optional<Frame> FirstMove(const std::vector<Frame>& frames, int direction, double from = 0) {
    for (const Frame& f : frames)
        if (f.kind == "move" && f.pan * direction > 0 && f.at >= from)
            return f;
    return std::nullopt;
}

// An interrupted ptzctl's stops: those of its zero speeds (and a local client's own stop of its
// end of motion), all within the 0.15 s it gives the zero speeds, then the 11 of the end of
// motion, the first of them 0.4 s after the end, so no sooner than 0.4 s after the first stop.
void ExpectZeroSpeedsThenEndOfMotion(const std::vector<Frame>& frames, size_t minLead,
                                     size_t maxLead) {
    const std::optional<Frame> first = First(frames, "stop");
    ASSERT_TRUE(first.has_value());
    const size_t lead = Count(Between(frames, first->at, first->at + 0.3), "stop");
    EXPECT_GE(lead, minLead) << "stops of the zero speeds";
    EXPECT_LE(lead, maxLead) << "stops of the zero speeds";
    EXPECT_EQ(Count(Between(frames, first->at + 0.3), "stop"), static_cast<size_t>(kEndStops))
        << "stops of the end of motion";
}

// An event between two clock readings.
struct Span {
    double begin = 0;
    double end = 0;
};

template <typename Action>
Span Timed(Action&& action) {
    Span span;
    span.begin = Now();
    action();
    span.end = Now();
    return span;
}

// A Pelco-D frame as the line's far end saw it: the direction and speed of a move's pan, the
// number of a preset frame.
Frame Decode(const k47test::SimProcess::Frame& f) {
    std::vector<int> bytes;
    for (size_t at = 0; at + 1 < f.raw.size(); at += 3)
        bytes.push_back(std::stoi(f.raw.substr(at, 2), nullptr, 16));
    Frame out{f.at, f.address, f.kind, 0, -1};
    if (bytes.size() == 7 && f.kind == "move")
        out.pan = (bytes[3] & 0x02 ? 1 : bytes[3] & 0x04 ? -1 : 0) * bytes[4];
    if (bytes.size() == 7 && f.kind.rfind("preset-", 0) == 0)
        out.preset = bytes[5];
    return out;
}

// One simulated line: a ptzsim process on a link path; a new one on the same path plays the line
// coming back.
struct Line {
    std::string link;
    std::unique_ptr<k47test::SimProcess> sim;
    std::vector<k47test::SimProcess::Frame> earlier;  // of the simulators that ended

    bool Start() {
        sim = std::make_unique<k47test::SimProcess>("pelco-d", link);
        return sim->ready();
    }
    void End(int signal) {
        sim->End(signal);
        std::vector<k47test::SimProcess::Frame> frames = sim->Frames();
        earlier.insert(earlier.end(), frames.begin(), frames.end());
        sim.reset();
    }
    std::vector<Frame> Frames(int address) const {
        std::vector<k47test::SimProcess::Frame> all = earlier;
        if (sim) {
            std::vector<k47test::SimProcess::Frame> frames = sim->Frames();
            all.insert(all.end(), frames.begin(), frames.end());
        }
        std::vector<Frame> out;
        for (const auto& f : all)
            if (f.address == address)
                out.push_back(Decode(f));
        return out;
    }
};

// A remote client's datagram stream played by the test, for a client that falls silent (its
// network gone): the remote client itself ends its motion when it is released. The same
// datagrams, 10 a second, each camera from a socket of its own, with the time of each one's last.
struct Sender {
    uint16_t port;  // the session's, from the control service
    int16_t pan;
    Span last{};  // the last datagram's send
};

std::jthread SendDatagrams(std::vector<Sender>* senders) {
    return std::jthread([senders](std::stop_token stop) {
        std::vector<std::unique_ptr<k47test::UdpPeer>> peers;
        for (size_t i = 0; i < senders->size(); ++i)
            peers.push_back(std::make_unique<k47test::UdpPeer>());
        double next = Now();
        for (uint16_t sequence = 1; !stop.stop_requested(); ++sequence) {
            for (size_t i = 0; i < senders->size(); ++i) {
                Sender& sender = (*senders)[i];
                sender.last = Timed([&] {
                    peers[i]->SendDatagram(sender.port, k47test::Motion(sequence, sender.pan));
                });
            }
            next += 0.1;
            SleepUntil(next);
        }
    });
}

struct Cam {
    std::string line;  // the protocol element, one ptzsim each
    int address;
    std::string Name() const { return line + "-" + std::to_string(address); }
};

// One row's state while it runs.
struct Progress {
    double started = 0;
    std::vector<Span> events;  // what happened to the motion: one per camera, or one for all
    double until = 0;          // the last moment the row's counts look at (0: the end of the run)
    std::map<std::string, Span> marks;  // further moments the row's own checks need
    std::vector<ComPtr<IK47PTZClient>> clients;
    std::vector<std::unique_ptr<k47test::ToolProcess>> tools;
    std::vector<Sender> senders;
    std::unique_ptr<k47::PtyPair> terminal;
    std::optional<int> exitStatus;
    int endingSignal = 0;
    // A key held down, datagrams sent by the test; joined before the rest goes.
    std::jthread helper;

    Span Event(size_t camera) const { return events.size() == 1 ? events[0] : events.at(camera); }
};

enum class From {
    kEvent,     // the event itself
    kLastMove,  // the camera's last move before its stop: the wire's record of the last call or
                // datagram that renewed the motion, when only a process that dies knows its time
};

// When a row's stops must come, and how many.
struct Expect {
    From from = From::kEvent;
    const char* since = "the event";  // what the printed first-stop time counts from
    // Each camera's first stop from the event on, in seconds after the reference: no earlier than
    // `earliest` (a due time; the stop's own line time is added), no later than `latest`.
    double earliest = 0;
    double latest = 0;
    // The stops of each camera from the event to the end of the row.
    int minStops = 1;
    int maxStops = 1;
    bool resumes = false;  // a client moves the camera again after its first stop, then ends
};

struct Scenario {
    std::string name;
    std::vector<Cam> cameras;
    Expect expect;
    double at = 0;  // on a shared host: when the event comes, seconds after every motion runs
    std::function<void(Progress&)> begin;  // starts the motion
    // The event and what follows it; returns when the row is done.
    std::function<void(Progress&)> act;
    std::function<void(const Progress&)> check;  // the row's own checks, if any
};

class MotionSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        setenv("K47_RUNTIME_DIR", (folder_.Path() + "/run").c_str(), 1);  // for --local
        std::string output;
        ASSERT_EQ(k47test::RegisterModuleWithTool(&output), 0) << output;
    }
    void TearDown() override {
        if (host_ && !host_->Wait(0ms).has_value() && host_->Signal(SIGTERM))
            host_->Wait(5s);
        host_.reset();
        lines_.clear();
        unsetenv("K47_RUNTIME_DIR");
        CoUninitialize();
    }

    // A simulator for every line of the table, and the host over all of them.
    void StartHost(const std::vector<Scenario>& table) {
        std::map<std::string, int> cameras;  // line -> highest address
        for (const Scenario& s : table)
            for (const Cam& cam : s.cameras)
                cameras[cam.line] = std::max(cameras[cam.line], cam.address);
        std::string protocolXml, cameraXml;
        for (const auto& [line, count] : cameras) {
            Line& sim = lines_[line];
            sim.link = folder_.Path() + "/" + line + ".tty";
            ASSERT_TRUE(sim.Start()) << line;
            protocolXml += "<Protocol Name=\"" + line +
                           "\" ProgID=\"K47PTZ.K47PelcoD\" COMPort=\"" + sim.link +
                           "\" BaudRate=\"9600\"/>";
            for (int a = 1; a <= count; ++a)
                cameraXml += "<Camera Name=\"" + Cam{line, a}.Name() + "\" Protocol=\"" + line +
                             "\" Address=\"" + std::to_string(a) + "\"/>";
        }
        const int firstPort = std::min<int>(k47test::FreeUdpPort(), 65535 - 49);
        config_ = folder_.Path() + "/installation.xml";
        // Every client of the table comes from 127.0.0.1, several dozen at once.
        std::ofstream(config_) << "<Installation><ControlService Listen=\"127.0.0.1\" Port=\"0\" "
                                  "MaxConnectionsPerClient=\"0\"/>"
                               << "<PortService First=\"" << firstPort << "\" Last=\""
                               << firstPort + 49 << "\"/><PTZProtocols>" << protocolXml
                               << "</PTZProtocols><Cameras>" << cameraXml
                               << "</Cameras></Installation>";
        ASSERT_TRUE(LaunchHost());
    }

    // Starts the host on the installation and reads its output up to "ready".
    bool LaunchHost() {
        host_ = std::make_unique<k47test::ToolProcess>(k47test::BinaryDir() + "/bin/k47ptz-host",
                                                       std::vector<std::string>{"-c", config_});
        for (;;) {
            auto line = host_->ReadLine(20s);
            if (!line) {
                ADD_FAILURE() << "the host did not become ready: " << host_->Stderr();
                return false;
            }
            if (auto at = line->find("http://"); at != std::string::npos)
                url_ = line->substr(at, line->find("/VLTControl") - at);
            if (line->find("ready") != std::string::npos)
                return true;
        }
    }

    std::string HostLog() {
        host_log_ += host_->Stderr();
        return host_log_;
    }

    std::vector<Frame> FramesOf(const Cam& cam) const {
        return lines_.at(cam.line).Frames(cam.address);
    }
    std::optional<Frame> FirstOf(const Cam& cam, const std::string& kind, double from) const {
        return First(FramesOf(cam), kind, from);
    }

    // A remote session from the control service, as a remote client opens it: the camera's port.
    uint16_t SessionPort(const Cam& cam) {
        CVLTControlT<CK47SoapSocketClientT<ZEvtSyncSocket2>> service(
            (url_ + "/" + k47::vlt::kEndpointPath).c_str());
        CComBSTR name(CA2W(cam.Name().c_str()));
        unsigned int ipv4 = 0;
        unsigned short port = 0;
        EXPECT_HR_OK(service.StartRemoteSessionPTZ(name, &ipv4, &port)) << cam.Name();
        return port;
    }

    ComPtr<IK47PTZClient> Connect(const Cam& cam) {
        ComPtr<IK47PTZClient> client;
        EXPECT_HR_OK(CoCreateInstance(CLSID_PTZClientRemote, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IK47PTZClient,
                                      reinterpret_cast<void**>(client.GetAddressOf())));
        CComBSTR address(CA2W(url_.c_str()));
        CComBSTR name(CA2W(cam.Name().c_str()));
        EXPECT_HR_OK(client->Connect(address, name)) << cam.Name();
        return client;
    }
    // A remote client in this process moving the camera (renewed 10 times a second).
    ComPtr<IK47PTZClient> Remote(const Cam& cam, SHORT pan) {
        ComPtr<IK47PTZClient> client = Connect(cam);
        EXPECT_HR_OK(client->MoveRelative(pan, 0, 0, 0, 0)) << cam.Name();
        return client;
    }
    std::unique_ptr<k47test::ToolProcess> Ptzctl(const Cam& cam, std::vector<std::string> args,
                                                 const std::string& input = {}) {
        std::vector<std::string> all = {"--server", url_, "--camera", cam.Name()};
        all.insert(all.end(), args.begin(), args.end());
        return std::make_unique<k47test::ToolProcess>(k47test::BinaryDir() + "/bin/ptzctl", all,
                                                      input);
    }

    bool Moving(const Scenario& s, const Progress& run) const {
        return std::all_of(s.cameras.begin(), s.cameras.end(), [&](const Cam& cam) {
            return Count(Between(FramesOf(cam), run.started), "move") >= 3;
        });
    }

    // Runs the table's rows: together (each row's event at its own time once every row's motion
    // runs, each row on a thread of its own) or one after another. Then checks every row.
    void RunTable(std::vector<Scenario>& table, bool together) {
        std::vector<Progress> runs(table.size());
        if (together) {
            for (size_t i = 0; i < table.size(); ++i) {
                runs[i].started = Now();
                table[i].begin(runs[i]);
            }
            for (size_t i = 0; i < table.size(); ++i)
                ASSERT_TRUE(WaitFor([&] { return Moving(table[i], runs[i]); }, 10))
                    << table[i].name << ": the motion did not start";
            const double go = Now();
            std::atomic<size_t> done{0};
            std::vector<std::jthread> threads;
            for (size_t i = 0; i < table.size(); ++i)
                threads.emplace_back([&, i] {
                    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                    SleepUntil(go + table[i].at);
                    table[i].act(runs[i]);
                    CoUninitialize();
                    ++done;
                });
            while (done < table.size()) {
                std::this_thread::sleep_for(200ms);
                HostLog();  // so that its standard error never fills
            }
        } else {
            for (size_t i = 0; i < table.size(); ++i) {
                runs[i].started = Now();
                table[i].begin(runs[i]);
                ASSERT_TRUE(WaitFor([&] { return Moving(table[i], runs[i]); }, 10))
                    << table[i].name << ": the motion did not start";
                table[i].act(runs[i]);
            }
        }
        for (size_t i = 0; i < table.size(); ++i)
            Check(table[i], runs[i]);
    }

    // What every row asserts for each of its cameras: the first stop's time, the number of stops,
    // and no move after the last stop (nor after the first, unless a client moves it anew).
    void Check(const Scenario& s, const Progress& run) {
        for (size_t c = 0; c < s.cameras.size(); ++c) {
            const Cam& cam = s.cameras[c];
            SCOPED_TRACE(s.name + ", camera " + cam.Name());
            ASSERT_FALSE(run.events.empty()) << "the row did not get to its event";
            const Span event = run.Event(c);
            const std::vector<Frame> all = FramesOf(cam);
            const std::vector<Frame> after =
                Between(all, event.begin, run.until > 0 ? run.until : 1e300);
            const std::optional<Frame> first = First(after, "stop");
            if (!first) {
                ADD_FAILURE() << "no stop";
                continue;
            }
            Span reference = event;
            if (s.expect.from == From::kLastMove) {
                std::optional<Frame> last;
                for (const Frame& f : all)
                    if (f.kind == "move" && f.at < first->at)
                        last = f;
                ASSERT_TRUE(last.has_value()) << "no move before the stop";
                // The renewal was armed before that move's write, at most a wake-up earlier.
                reference = {last->at - kFrame - kWake, last->at};
                EXPECT_LE(first->at, event.end + s.expect.latest)
                    << "counted from the event itself";
            }
            const double lower = reference.begin + s.expect.earliest + kFrame;
            const double upper = reference.end + s.expect.latest;
            EXPECT_GE(first->at, lower);
            EXPECT_LE(first->at, upper);
            const size_t stops = Count(after, "stop");
            EXPECT_GE(stops, static_cast<size_t>(s.expect.minStops));
            EXPECT_LE(stops, static_cast<size_t>(s.expect.maxStops));
            double lastStop = first->at;
            for (const Frame& f : after)
                if (f.kind == "stop")
                    lastStop = f.at;
            EXPECT_FALSE(First(after, "move", lastStop).has_value())
                << "a move followed the last stop";
            if (!s.expect.resumes) {
                EXPECT_FALSE(First(after, "move", first->at).has_value())
                    << "a move followed the first stop";
            }
            if (s.expect.from == From::kLastMove) {
                std::printf(
                    "[ safety ] %-36s %-7s first stop %6.3f s after %s (bounds %.3f..%.3f),"
                    " %.3f s after the event; %zu stop(s)\n",
                    s.name.c_str(), cam.Name().c_str(), first->at - reference.end, s.expect.since,
                    lower - reference.end, upper - reference.end, first->at - event.begin, stops);
            } else {
                std::printf(
                    "[ safety ] %-36s %-7s first stop %6.3f s after %s (bounds %.3f..%.3f);"
                    " %zu stop(s)\n",
                    s.name.c_str(), cam.Name().c_str(), first->at - event.begin, s.expect.since,
                    lower - event.begin, upper - event.begin, stops);
            }
        }
        if (s.check) {
            SCOPED_TRACE(s.name);
            s.check(run);
        }
    }

    // Signals a process moving a camera and waits for it to end.
    static Span Kill(k47test::ToolProcess& process, int signal) {
        Span span = Timed([&] { process.Signal(signal); });
        process.Wait(5s);
        return span;
    }

    // Rows 2, 4 and 10: a ptzctl process moving the camera dies with SIGKILL; `command`, when
    // given, is a command of another client for the camera at once after (its motion still runs
    // on the camera's time-out).
    Scenario KilledPtzctl(std::string name, const std::string& line, std::vector<std::string> move,
                          std::optional<PTZCOMMAND> command = std::nullopt) {
        const Cam cam{line, 1};
        Scenario s{.name = std::move(name),
                   .cameras = {cam},
                   .expect = {.from = From::kLastMove,
                              .since = "its last move",
                              .earliest = kDeadMan,
                              .latest = kDeadMan + 0.3},
                   .at = kEventsAt};
        s.begin = [this, cam, move, command](Progress& run) {
            run.tools.push_back(Ptzctl(cam, move));
            if (command)
                run.clients.push_back(Connect(cam));
        };
        s.act = [this, command](Progress& run) {
            run.events = {Kill(*run.tools[0], SIGKILL)};
            if (command)
                run.marks["command"] =
                    Timed([&] { EXPECT_HR_OK(run.clients[0]->Command(*command, 1)); });
            SleepUntil(run.events[0].end + kDeadMan + 0.3 + kObserve);
        };
        if (command)
            s.check = [this, cam](const Progress& run) {
                // The command went out while the motion was still guarded, and left the guard be.
                const std::vector<Frame> frames = Between(FramesOf(cam), run.events[0].begin);
                const std::optional<Frame> focus = First(frames, "auto-focus");
                const std::optional<Frame> stop = First(frames, "stop");
                ASSERT_TRUE(focus.has_value());
                ASSERT_TRUE(stop.has_value());
                EXPECT_LT(focus->at, stop->at);
                EXPECT_FALSE(First(frames, "move", focus->at).has_value());
            };
        return s;
    }

    // Row 12: ptzctl moving a camera is interrupted: by a signal during `move --for 60` (remote
    // and local client), or the ways out of the keyboard mode. Zero speeds go out at once, then
    // the end of motion with its 11 stops, and ptzctl ends by the signal (0 for a key or the end
    // of input).
    enum class End { kSignal, kQuitKey, kEndOfInput };
    // Remote client: one or two stops of the zero speeds (by the phase of its 100 ms sending
    // period in the 0.15 s ptzctl gives them), then the 11. Local client: one or two of the zero
    // speeds (its 100 ms calls), one of its own end of motion, then the 11.
    Scenario InterruptedPtzctl(std::string name, const std::string& line,
                               std::vector<std::string> args, End end, int signal) {
        const Cam cam{line, 1};
        const bool local = args[0] == "--local";
        const int minLead = local ? 2 : 1;
        const int maxLead = local ? 3 : 2;
        Scenario s{.name = std::move(name),
                   .cameras = {cam},
                   .expect = {.since = "the interruption",
                              .latest = 0.5,
                              .minStops = minLead + kEndStops,
                              .maxStops = maxLead + kEndStops},
                   .at = kEventsAt};
        s.begin = [this, cam, args](Progress& run) {
            std::string input;
            if (args[0] == "interactive") {
                run.terminal = std::make_unique<k47::PtyPair>();
                input = run.terminal->slave_path();
            }
            run.tools.push_back(Ptzctl(cam, args, input));
            if (run.terminal)
                run.helper = std::jthread([terminal = run.terminal.get()](std::stop_token stop) {
                    while (!stop.stop_requested()) {
                        terminal->WriteAll("\x1b[C", 3);  // the right arrow, held down
                        std::this_thread::sleep_for(100ms);
                    }
                });
        };
        s.act = [end, signal](Progress& run) {
            if (run.helper.joinable()) {
                run.helper.request_stop();
                run.helper.join();
            }
            run.events = {Timed([&] {
                if (end == End::kQuitKey)
                    run.terminal->WriteAll("q", 1);
                else if (end == End::kEndOfInput)
                    run.terminal->HangUp();
                else
                    run.tools[0]->Signal(signal);
            })};
            run.exitStatus = run.tools[0]->Wait(2s);
            run.endingSignal = run.tools[0]->EndingSignal();
            SleepUntil(run.events[0].end + kEndSpan + kObserve);
        };
        s.check = [this, cam, signal, minLead, maxLead](const Progress& run) {
            ExpectZeroSpeedsThenEndOfMotion(Between(FramesOf(cam), run.events[0].begin), minLead,
                                            maxLead);
            ASSERT_TRUE(run.exitStatus.has_value()) << "ptzctl did not end within 2 s";
            EXPECT_EQ(run.endingSignal, signal) << run.tools[0]->Stderr();
            if (signal == 0) {
                EXPECT_EQ(*run.exitStatus, 0);
            }
        };
        return s;
    }

    k47test::ScopedRegistryFolder registry_;
    k47test::TempFolder folder_;
    std::map<std::string, Line> lines_;
    std::unique_ptr<k47test::ToolProcess> host_;
    std::string config_;
    std::string url_;
    std::string host_log_;
};

// Every way a client loses its motion, all on one host at once, each on a line of its own.
TEST_F(MotionSafety, EveryMotionAClientLosesStopsOnTime) {
    std::vector<Scenario> table;

    // 1. A remote client falls silent (its datagrams stop, no end of motion): one stop, 5 s
    // after its last datagram.
    {
        const Cam cam{"R1", 1};
        Scenario s{.name = "1 silent remote client",
                   .cameras = {cam},
                   .expect = {.since = "its last datagram",
                              .earliest = kDeadMan,
                              .latest = kDeadMan + 0.3},
                   .at = kEventsAt};
        s.begin = [this, cam](Progress& run) {
            run.senders = {{SessionPort(cam), 40}};
            run.helper = SendDatagrams(&run.senders);
        };
        s.act = [](Progress& run) {
            run.helper.request_stop();
            run.helper.join();
            run.events = {run.senders[0].last};
            SleepUntil(run.events[0].end + kDeadMan + 0.3 + kObserve);
        };
        table.push_back(std::move(s));
    }

    // 2. ptzctl (remote client) killed mid-move; 4. the same with the local client, whose calls
    // reach the camera through the host's object server.
    table.push_back(KilledPtzctl("2 ptzctl killed", "R2", {"move", "40", "0", "--for", "60"}));
    table.push_back(KilledPtzctl("4 ptzctl --local killed", "R4",
                                 {"--local", "move", "40", "0", "--for", "60"}));

    // 3. The datagrams stop arriving (ptzctl frozen by SIGSTOP): one stop 5 s after the last one.
    // The stop frees the session, so when ptzctl goes on (SIGCONT) its next datagram takes the
    // camera again at once; interrupted then, it ends that motion too: one stop of the time-out,
    // then one or two of ptzctl's zero speeds (by the phase of its 100 ms sending period in the
    // 0.15 s it gives them) and the 11 of its end of motion.
    {
        const Cam cam{"R3", 1};
        Scenario s{.name = "3 datagrams blocked",
                   .cameras = {cam},
                   .expect = {.from = From::kLastMove,
                              .since = "its last move",
                              .earliest = kDeadMan,
                              .latest = kDeadMan + 0.3,
                              .minStops = 13,
                              .maxStops = 14,
                              .resumes = true}};
        s.begin = [this, cam](Progress& run) {
            run.tools.push_back(Ptzctl(cam, {"move", "40", "0", "--for", "60"}));
        };
        s.act = [this, cam](Progress& run) {
            k47test::ToolProcess& ptzctl = *run.tools[0];
            run.events = {Timed([&] { ptzctl.Signal(SIGSTOP); })};
            std::optional<Frame> stop;
            WaitFor([&] { return (stop = FirstOf(cam, "stop", run.events[0].begin)).has_value(); },
                    kDeadMan + 1);
            SleepUntil((stop ? stop->at : Now()) + 0.3);
            run.marks["continued"] = Timed([&] { ptzctl.Signal(SIGCONT); });
            if (!stop)
                return;
            WaitFor([&] { return FirstOf(cam, "move", run.marks["continued"].begin).has_value(); },
                    1);
            SleepUntil(Now() + 0.3);
            run.marks["interrupted"] = Timed([&] { ptzctl.Signal(SIGINT); });
            run.exitStatus = ptzctl.Wait(2s);
            run.endingSignal = ptzctl.EndingSignal();
            SleepUntil(run.marks["interrupted"].end + kEndSpan + kObserve);
        };
        s.check = [this, cam](const Progress& run) {
            ASSERT_EQ(run.marks.count("interrupted"), 1u);
            const Span continued = run.marks.at("continued");
            const Span interrupted = run.marks.at("interrupted");
            const std::vector<Frame> frames = FramesOf(cam);
            EXPECT_EQ(Count(Between(frames, run.events[0].begin, continued.begin), "stop"), 1u);
            // A frozen process that goes on finds its sending period long past: it sends at once.
            const std::optional<Frame> resumed = First(frames, "move", continued.begin);
            ASSERT_TRUE(resumed.has_value());
            EXPECT_LE(resumed->at, continued.end + 0.2);
            std::printf("[ safety ]    moves again %.3f s after SIGCONT\n",
                        resumed->at - continued.begin);
            const std::vector<Frame> ending = Between(frames, interrupted.begin);
            const std::optional<Frame> stop = First(ending, "stop");
            ASSERT_TRUE(stop.has_value());
            EXPECT_LE(stop->at, interrupted.end + 0.5);
            std::printf("[ safety ]    stop %.3f s after SIGINT, then %zu more\n",
                        stop->at - interrupted.begin, Count(ending, "stop") - 1);
            ExpectZeroSpeedsThenEndOfMotion(ending, 1, 2);
            EXPECT_FALSE(First(ending, "move", stop->at).has_value());
            EXPECT_EQ(run.endingSignal, SIGINT);
        };
        table.push_back(std::move(s));
    }

    // 7. The line vanishes mid-move (its simulator killed) and comes back (a new one on the same
    // link). The driver marks the line down at the first write after the kill and opens it again
    // for the first frame due 2 s later (counted in whole milliseconds); then every camera of the
    // line gets one stop before anything else. The clients still move and then end: 11 more.
    {
        const std::vector<Cam> cams = {{"R7", 1}, {"R7", 2}};
        Scenario s{.name = "7 line vanishes and comes back",
                   .cameras = cams,
                   .expect = {.since = "the line's loss",
                              .earliest = 1.999,
                              .latest = 2.5,
                              .minStops = 1 + kEndStops,
                              .maxStops = 1 + kEndStops,
                              .resumes = true},
                   .at = kEventsAt};
        s.begin = [this, cams](Progress& run) {
            for (const Cam& cam : cams)
                run.clients.push_back(Remote(cam, 40));
        };
        s.act = [this, cams](Progress& run) {
            Line& line = lines_.at("R7");
            // The signal is the first thing End does: the line is lost from that moment on.
            const double killed = Now();
            run.events = {{killed, killed}};
            line.End(SIGKILL);
            SleepUntil(killed + 0.3);
            bool started = false;
            run.marks["restarted"] = Timed([&] { started = line.Start(); });
            ASSERT_TRUE(started);
            const double restarted = run.marks["restarted"].begin;
            WaitFor(
                [&] {
                    return std::all_of(cams.begin(), cams.end(), [&](const Cam& cam) {
                        return Count(Between(FramesOf(cam), restarted), "move") >= 3;
                    });
                },
                4);
            run.marks["ended"] = Timed([&] {
                for (auto& client : run.clients)
                    EXPECT_HR_OK(client->EndMotion());
            });
            SleepUntil(run.marks["ended"].end + kEndSpan + kObserve);
        };
        s.check = [this, cams](const Progress& run) {
            ASSERT_EQ(run.marks.count("ended"), 1u);
            const Span restarted = run.marks.at("restarted");
            const Span ended = run.marks.at("ended");
            for (const Cam& cam : cams) {
                SCOPED_TRACE(cam.Name());
                const std::vector<Frame> frames = Between(FramesOf(cam), restarted.begin);
                ASSERT_FALSE(frames.empty());
                EXPECT_EQ(frames.front().kind, "stop") << "the first frame of the new line";
                const std::optional<Frame> move = First(frames, "move");
                ASSERT_TRUE(move.has_value()) << "the clients' moves flow again";
                EXPECT_EQ(Count(Between(frames, 0, move->at), "stop"), 1u);
                EXPECT_LE(frames.front().at, restarted.end + 3.0);
                std::printf("[ safety ]    %s: stop %.3f s after the new simulator started\n",
                            cam.Name().c_str(), frames.front().at - restarted.begin);
                const std::vector<Frame> end = Between(frames, ended.begin);
                EXPECT_EQ(Count(end, "stop"), static_cast<size_t>(kEndStops));
                const std::optional<Frame> stop = First(end, "stop");
                ASSERT_TRUE(stop.has_value());
                EXPECT_GE(stop->at, ended.begin + kRepeat + kFrame);
            }
            const std::string log = HostLog();
            EXPECT_EQ(CountOf(log, "line \"R7\""), 2u) << log;
            EXPECT_EQ(CountOf(log, " is down: "), 1u) << log;
            EXPECT_EQ(CountOf(log, " is back; "), 1u) << log;
        };
        table.push_back(std::move(s));
    }

    // 8. Two senders: a second remote client moving the same camera is ignored while the first
    // owns its session. When the first ends its motion, the session stays the first's until the
    // camera's first stop (0.4 s later); then any sender may take it, and the second client's
    // next datagram (within its 100 ms period) does: one stop, then the second client's moves,
    // and the 11 stops of its own end of motion.
    {
        const Cam cam{"R8", 1};
        Scenario s{.name = "8 second sender",
                   .cameras = {cam},
                   .expect = {.since = "the first's end",
                              .earliest = kRepeat,
                              .latest = kRepeat + 0.1 + kFrame,
                              .minStops = 1 + kEndStops,
                              .maxStops = 1 + kEndStops,
                              .resumes = true},
                   .at = kEventsAt};
        s.begin = [this, cam](Progress& run) {
            run.clients.push_back(Remote(cam, 40));
            EXPECT_TRUE(WaitFor([&] { return FirstOf(cam, "move", run.started).has_value(); }, 3));
            run.marks["second"] = {Now(), Now()};
            run.clients.push_back(Remote(cam, -40));
        };
        s.act = [](Progress& run) {
            run.events = {Timed([&] { EXPECT_HR_OK(run.clients[0]->EndMotion()); })};
            SleepUntil(run.events[0].end + 1.5);
            run.marks["ended"] = Timed([&] { EXPECT_HR_OK(run.clients[1]->EndMotion()); });
            SleepUntil(run.marks["ended"].end + kEndSpan + kObserve);
        };
        s.check = [this, cam](const Progress& run) {
            ASSERT_EQ(run.marks.count("ended"), 1u);
            const Span ended = run.marks.at("ended");
            const std::vector<Frame> frames = Between(FramesOf(cam), run.marks.at("second").begin);
            const std::optional<Frame> stop = First(frames, "stop", run.events[0].begin);
            ASSERT_TRUE(stop.has_value());
            for (const Frame& f : frames) {
                if (f.kind != "move")
                    continue;
                if (f.at < stop->at)
                    EXPECT_GT(f.pan, 0) << "the second sender moved a camera it did not own";
                else
                    EXPECT_LT(f.pan, 0) << "the first sender moved the camera after its end";
            }
            const std::optional<Frame> taken = First(frames, "move", stop->at);
            ASSERT_TRUE(taken.has_value()) << "the second sender never took the camera";
            EXPECT_LE(taken->at, stop->at + 0.1 + 0.1);
            std::printf("[ safety ]    the second sender's move %.3f s after that stop\n",
                        taken->at - stop->at);
            EXPECT_EQ(Count(Between(frames, run.events[0].begin, ended.begin), "stop"), 1u);
            const std::vector<Frame> end = Between(frames, ended.begin);
            EXPECT_EQ(Count(end, "stop"), static_cast<size_t>(kEndStops));
            const std::optional<Frame> first = First(end, "stop");
            ASSERT_TRUE(first.has_value());
            EXPECT_GE(first->at, ended.begin + kRepeat + kFrame);
            EXPECT_LE(first->at, ended.end + kRepeat + 0.1 + kFrame);
        };
        table.push_back(std::move(s));
    }

    // 9. A Go To Preset within the 0.4 s after an end of motion: one stop at once, before the
    // preset frame, the session free for the next client at once, and none of the 11 repeats
    // (they would cut the preset move short). The command follows the end of motion by 20 ms, so
    // that the end's datagram has surely reached the camera's worker before the command's HTTP
    // request does, on a loaded machine too.
    {
        const Cam cam{"R9", 1};
        Scenario s{.name = "9 go to preset after the end",
                   .cameras = {cam},
                   .expect = {.since = "the end",
                              .latest = kWake,
                              .minStops = 1 + kEndStops,
                              .maxStops = 1 + kEndStops,
                              .resumes = true},
                   .at = kEventsAt};
        s.begin = [this, cam](Progress& run) {
            run.clients.push_back(Remote(cam, 40));
            run.clients.push_back(Connect(cam));  // the next client, not moving yet
        };
        s.act = [](Progress& run) {
            run.marks["end"] = Timed([&] { EXPECT_HR_OK(run.clients[0]->EndMotion()); });
            std::this_thread::sleep_for(20ms);
            run.marks["command"] =
                Timed([&] { EXPECT_HR_OK(run.clients[0]->Command(PTZCMD_GOTOPRESET, 1)); });
            // The stop comes with the command: after the end, and on the wire once it returns.
            run.events = {{run.marks["end"].begin, run.marks["command"].end}};
            run.marks["next"] =
                Timed([&] { EXPECT_HR_OK(run.clients[1]->MoveRelative(-40, 0, 0, 0, 0)); });
            SleepUntil(run.marks["next"].end + 1.0);
            run.marks["ended"] = Timed([&] { EXPECT_HR_OK(run.clients[1]->EndMotion()); });
            SleepUntil(run.marks["ended"].end + kEndSpan + kObserve);
        };
        s.check = [this, cam](const Progress& run) {
            ASSERT_EQ(run.marks.count("ended"), 1u);
            ASSERT_LT(run.marks.at("command").end, run.marks.at("end").begin + kRepeat)
                << "the command came too late for this row";
            const Span next = run.marks.at("next");
            const Span ended = run.marks.at("ended");
            const std::vector<Frame> frames = Between(FramesOf(cam), run.events[0].begin);
            const auto stop = std::find_if(frames.begin(), frames.end(),
                                           [](const Frame& f) { return f.kind == "stop"; });
            ASSERT_NE(stop, frames.end());
            ASSERT_NE(stop + 1, frames.end());
            EXPECT_EQ((stop + 1)->kind, "preset-go");
            EXPECT_EQ((stop + 1)->preset, 1);
            EXPECT_EQ(Count(Between(frames, 0, ended.begin), "stop"), 1u);
            EXPECT_FALSE(FirstMove(frames, +1, stop->at).has_value());
            const std::optional<Frame> taken = FirstMove(frames, -1);
            ASSERT_TRUE(taken.has_value()) << "the next client's move was not taken";
            EXPECT_GE(taken->at, next.begin + kFrame);
            EXPECT_LE(taken->at, next.end + 0.3);
            std::printf("[ safety ]    the next client's move %.3f s after its call\n",
                        taken->at - next.begin);
            EXPECT_EQ(Count(Between(frames, ended.begin), "stop"), static_cast<size_t>(kEndStops));
        };
        table.push_back(std::move(s));
    }

    // 9, with Set Preset: a command that does not move the camera leaves the end of motion alone,
    // all 11 stops, 0.4 s apart, the first 0.4 s after the end.
    {
        const Cam cam{"R9s", 1};
        Scenario s{.name = "9 set preset after the end",
                   .cameras = {cam},
                   .expect = {.since = "the end",
                              .earliest = kRepeat,
                              .latest = kRepeat + 0.1 + kFrame,
                              .minStops = kEndStops,
                              .maxStops = kEndStops},
                   .at = kEventsAt};
        s.begin = [this, cam](Progress& run) { run.clients.push_back(Remote(cam, 40)); };
        s.act = [](Progress& run) {
            run.events = {Timed([&] { EXPECT_HR_OK(run.clients[0]->EndMotion()); })};
            std::this_thread::sleep_for(20ms);
            run.marks["command"] =
                Timed([&] { EXPECT_HR_OK(run.clients[0]->Command(PTZCMD_SETPRESET, 1)); });
            SleepUntil(run.events[0].end + kEndSpan + kObserve);
        };
        s.check = [this, cam](const Progress& run) {
            const std::vector<Frame> frames = Between(FramesOf(cam), run.events[0].begin);
            const std::optional<Frame> set = First(frames, "preset-set");
            const std::optional<Frame> stop = First(frames, "stop");
            ASSERT_TRUE(set.has_value());
            ASSERT_TRUE(stop.has_value());
            EXPECT_EQ(set->preset, 1);
            EXPECT_LT(set->at, stop->at);
            double previous = 0;
            for (const Frame& f : frames) {
                if (f.kind != "stop")
                    continue;
                if (previous > 0) {
                    // Two stamps: either may trail its write by a wake-up.
                    EXPECT_GE(f.at - previous, kRepeat - kWake) << "stops too close";
                    EXPECT_LE(f.at - previous, kRepeat + 0.1) << "stops too far apart";
                }
                previous = f.at;
            }
        };
        table.push_back(std::move(s));
    }

    // 10. An auto-focus command while the motion of a client just killed is still guarded: the
    // command leaves the time-out alone, so the stop still comes 5 s after the last datagram.
    table.push_back(KilledPtzctl("10 auto focus, then the client gone", "R10",
                                 {"move", "40", "0", "--for", "60"}, PTZCMD_AUTOFOCUS));

    // 11. Ten cameras on one 9600-baud line, their clients silenced together: each stop is due
    // 5 s after its client's last datagram, and the ten due at once wait for the line, one
    // frame time each at most.
    {
        std::vector<Cam> cams;
        for (int a = 1; a <= 10; ++a)
            cams.push_back({"R11", a});
        Scenario s{.name = "11 ten cameras silenced at once",
                   .cameras = cams,
                   .expect = {.since = "its last datagram",
                              .earliest = kDeadMan,
                              .latest = kDeadMan + 0.1 + 10 * kFrame},
                   .at = kEventsAt};
        s.begin = [this, cams](Progress& run) {
            for (const Cam& cam : cams)
                run.senders.push_back({SessionPort(cam), 40});
            run.helper = SendDatagrams(&run.senders);
        };
        s.act = [](Progress& run) {
            run.helper.request_stop();
            run.helper.join();
            for (const Sender& sender : run.senders)
                run.events.push_back(sender.last);
            SleepUntil(run.events.back().end + kDeadMan + 0.1 + 10 * kFrame + kObserve);
        };
        table.push_back(std::move(s));
    }

    // 12. ptzctl interrupted: zero speeds at once, then the end of motion.
    table.push_back(InterruptedPtzctl("12 ptzctl move, SIGINT", "R12a",
                                      {"move", "50", "0", "--for", "60"}, End::kSignal, SIGINT));
    table.push_back(InterruptedPtzctl("12 ptzctl --local move, SIGTERM", "R12b",
                                      {"--local", "move", "0", "-40", "--for", "60"}, End::kSignal,
                                      SIGTERM));
    table.push_back(InterruptedPtzctl("12 ptzctl move, SIGHUP", "R12c",
                                      {"move", "-30", "0", "--for", "60"}, End::kSignal, SIGHUP));
    table.push_back(
        InterruptedPtzctl("12 ptzctl interactive, q", "R12d", {"interactive"}, End::kQuitKey, 0));
    table.push_back(InterruptedPtzctl("12 ptzctl interactive, end of input", "R12e",
                                      {"interactive"}, End::kEndOfInput, 0));
    table.push_back(InterruptedPtzctl("12 ptzctl interactive, SIGTERM", "R12f", {"interactive"},
                                      End::kSignal, SIGTERM));

    ASSERT_NO_FATAL_FAILURE(StartHost(table));
    RunTable(table, true);
}

// The host's life cycle, on one installation: killed mid-move (6), started again, then stopped
// mid-move (5).
TEST_F(MotionSafety, TheHostStopsEveryCameraAtStartAndAtShutdown) {
    std::vector<Scenario> table;

    // 6. A host killed (SIGKILL) sends nothing: the camera goes on until the next host on the
    // installation starts, which gives every camera one stop before "ready".
    {
        const Cam cam{"R6", 1};
        Scenario s{.name = "6 host killed, started again",
                   .cameras = {cam},
                   .expect = {.since = "the new host's start", .latest = kWake}};
        s.begin = [this, cam](Progress& run) { run.clients.push_back(Remote(cam, 40)); };
        s.act = [this](Progress& run) {
            run.marks["killed"] = Timed([&] { host_->Signal(SIGKILL); });
            host_->Wait(5s);
            HostLog();
            host_log_.clear();
            // Its datagrams would reach whichever camera the new host gives the port to next.
            run.clients[0]->EndMotion();
            run.clients.clear();
            SleepUntil(run.marks["killed"].end + 1.0);
            bool ready = false;
            // The stop is on the wire by the time "ready" is read.
            run.events = {Timed([&] { ready = LaunchHost(); })};
            ASSERT_TRUE(ready);
            run.until = run.events[0].end + 1.0;
            SleepUntil(run.until);
        };
        s.check = [this, cam](const Progress& run) {
            const Span killed = run.marks.at("killed");
            const std::vector<Frame> between =
                Between(FramesOf(cam), killed.begin, run.events[0].begin);
            EXPECT_EQ(Count(between, "stop"), 0u) << "a killed host sent a stop";
            // A move handed to the line before the kill may still arrive.
            EXPECT_TRUE(Between(between, killed.end + kFrame + kWake).empty());
            const std::string log = HostLog();
            EXPECT_NE(log.find("start-up: 3 camera(s) stopped, 0 failed"), std::string::npos)
                << log;
        };
        table.push_back(std::move(s));
    }

    // 5. SIGTERM mid-move: every camera gets one stop, last, and the host exits 0 within 5 s.
    // R5-1 is moved by a remote client, R5-2 by a sender flooding its datagram port (which keeps
    // its line busy): a move already on the camera's worker when the stop goes out must not follow
    // it.
    {
        const std::vector<Cam> cams = {{"R5", 1}, {"R5", 2}};
        Scenario s{.name = "5 host stopped (SIGTERM)",
                   .cameras = cams,
                   .expect = {.since = "the signal", .latest = 0.5}};
        s.begin = [this, cams](Progress& run) {
            run.clients.push_back(Remote(cams[0], 30));
            run.helper = std::jthread([port = SessionPort(cams[1])](std::stop_token stop) {
                k47test::UdpPeer sender;
                for (uint16_t sequence = 1; !stop.stop_requested(); ++sequence) {
                    sender.SendDatagram(port, k47test::Motion(sequence, 40));
                    std::this_thread::sleep_for(200us);
                }
            });
        };
        s.act = [this](Progress& run) {
            run.events = {Timed([&] { host_->Signal(SIGTERM); })};
            run.exitStatus = host_->Wait(5s);
            run.helper.request_stop();
            SleepUntil(run.events[0].end + kObserve);
        };
        s.check = [this](const Progress& run) {
            ASSERT_TRUE(run.exitStatus.has_value()) << "the host did not exit within 5 s";
            EXPECT_EQ(*run.exitStatus, 0);
            const std::string log = HostLog();
            EXPECT_NE(log.find("shutdown: 3 camera(s) stopped, 0 failed"), std::string::npos)
                << log;
        };
        table.push_back(std::move(s));
    }

    ASSERT_NO_FATAL_FAILURE(StartHost(table));
    RunTable(table, false);
}

}  // namespace
