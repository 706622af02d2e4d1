// ptzsim run as a child process, steered through the pty it prints, checked through its JSON
// (and text) lines: motion integrated into positions, presets, menus and modes, malformed bytes
// reported and skipped, Pelco-D answers, periodic states and limits, the line kept usable across
// hosts, clean ends with the link removed, and the exit codes of wrong usage.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/sim/decoder_test_util.h"
#include "tests/support/TestUtil.h"
#include "tests/tools/MiniJson.h"
#include "tests/tools/ToolProcess.h"

namespace {

using namespace std::chrono_literals;
using k47test::Bosch;
using k47test::Bytes;
using k47test::Json;
using k47test::Pelco;
using k47test::ToolProcess;
using Clock = std::chrono::steady_clock;

constexpr auto kEventTimeout = 5000ms;

std::string Tool() {
    return k47test::BinaryDir() + "/bin/ptzsim";
}

std::string Hex(const Bytes& bytes) {
    return k47::sim::HexBytes(bytes);
}

// The port end of the line, as a host opens it: raw, 8N1.
class Port {
  public:
    explicit Port(const std::string& path, speed_t speed = B9600) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0 && !Set(speed)) {
            close(fd_);
            fd_ = -1;
        }
    }
    // Raw at `speed`, and `extra` (CSTOPB) as a host sets it.
    bool Set(speed_t speed, tcflag_t extra = 0) const {
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) {
            return false;
        }
        cfmakeraw(&tio);
        tio.c_cflag = (tio.c_cflag & ~CSTOPB) | extra;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        return tcsetattr(fd_, TCSANOW, &tio) == 0;
    }
    ~Port() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool Write(const Bytes& bytes) const {
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Bytes the simulator wrote that nobody read yet.
    int Queued() const {
        int n = -1;
        ioctl(fd_, FIONREAD, &n);
        return n;
    }
    Bytes Read(size_t count) const {
        Bytes bytes(count);
        size_t have = 0;
        while (have < count) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) {
                break;
            }
            ssize_t n = read(fd_, bytes.data() + have, count - have);
            if (n <= 0) {
                break;
            }
            have += static_cast<size_t>(n);
        }
        bytes.resize(have);
        return bytes;
    }

  private:
    int fd_ = -1;
};

// One simulator with --json: the line's path from the first line, then every event parsed.
class Sim {
  public:
    explicit Sim(std::vector<std::string> args) : process_(Tool(), WithJson(std::move(args))) {
        std::optional<std::string> first = process_.ReadLine(kEventTimeout);
        if (!first || first->rfind("ptzsim: line ", 0) != 0) {
            return;
        }
        path_ = first->substr(13);
        start_ = Next();
    }

    bool ok() const { return !path_.empty() && start_ && (*start_)["event"].str() == "start"; }
    const std::string& path() const { return path_; }
    const Json& start() const { return *start_; }
    ToolProcess& process() { return process_; }
    const std::vector<Json>& seen() const { return seen_; }

    // The next event; a line that is not one JSON object fails the test.
    std::optional<Json> Next(std::chrono::milliseconds timeout = kEventTimeout) {
        std::optional<std::string> line = process_.ReadLine(timeout);
        if (!line) {
            return std::nullopt;
        }
        std::optional<Json> event = Json::Parse(*line);
        EXPECT_TRUE(event && event->type() == Json::Type::kObject)
            << "not a JSON object: " << *line;
        if (event) {
            seen_.push_back(*event);
        }
        return event;
    }

    // Reads events until one satisfies `match`; the ones before it stay in seen().
    std::optional<Json> WaitFor(const std::function<bool(const Json&)>& match,
                                std::chrono::milliseconds timeout = kEventTimeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            std::optional<Json> event = Next(left);
            if (!event) {
                return std::nullopt;
            }
            if (match(*event)) {
                return event;
            }
        }
    }

    // The next `count` frame events (fewer at the deadline).
    std::vector<Json> Frames(size_t count, std::chrono::milliseconds timeout = kEventTimeout) {
        std::vector<Json> frames;
        while (frames.size() < count) {
            std::optional<Json> e =
                WaitFor([](const Json& e) { return e["event"].str() == "frame"; }, timeout);
            if (!e) {
                break;
            }
            frames.push_back(*e);
        }
        return frames;
    }

    // When an event happened on this machine's monotonic clock (steady_clock), in seconds.
    double Monotonic(const Json& event) const {
        return (*start_)["monotonic"].num() + event["elapsed"].num();
    }

    std::optional<Json> WaitFrame(const std::string& kind, int address = -1) {
        return WaitFor([&](const Json& e) {
            return e["event"].str() == "frame" && e["kind"].str() == kind &&
                   (address < 0 || (!e["address"].is_null() && e["address"].integer() == address));
        });
    }

    // Signals the simulator, reads its last events and returns its exit status.
    std::optional<int> End(int signal = SIGTERM) {
        if (!process_.Signal(signal)) {
            return std::nullopt;
        }
        while (Next()) {
        }
        return process_.Wait(kEventTimeout);
    }

  private:
    static std::vector<std::string> WithJson(std::vector<std::string> args) {
        args.push_back("--json");
        return args;
    }

    ToolProcess process_;
    std::string path_;
    std::optional<Json> start_;
    std::vector<Json> seen_;
};

bool IsEvent(const Json& e, const std::string& name, int address) {
    return e["event"].str() == name && !e["address"].is_null() && e["address"].integer() == address;
}

// Pan as a signed angle around 0 (the simulator keeps it in [0, 360)).
double SignedPan(double pan) {
    return pan > 180 ? pan - 360 : pan;
}

// 0x02, the frame's text, 0x03.
std::string Panasonic(const std::string& body) {
    return "\x02" + body + "\x03";
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(PtzSim, MovesIntegrateIntoPositionsForEveryProtocol) {
    struct Case {
        const char* protocol;
        int address;
        Bytes move;
        Bytes stop;
        double pan_deg_per_s;   // 100 at full speed
        double tilt_deg_per_s;  // 60 at full speed
        int pan_percent;        // the smallest driver speed that sends this
    };
    const Case cases[] = {
        // pan right 31/63, tilt up 16/63
        {"pelco-d", 1, Pelco(1, 0, 0x0A, 0x1F, 0x10), Pelco(1, 0, 0, 0, 0), 100.0 * 31 / 63,
         60.0 * 16 / 63, 50},
        // second layout, camera 5 of several: pan left 4/7, tilt down 2/7
        {"panasonic", 5, Text(Panasonic("AD05;RON:7;GC^:202136F:2022420:2021264:2022000:0021004")),
         Text(Panasonic("AD05;RON:7;GC^:2021364:2022000:2021264:2022000:0021004")), -100.0 * 4 / 7,
         -60.0 * 2 / 7, -58},
        // camera 129: pan right 8/15, tilt down 15/15
        {"bosch", 129, Bosch(129, 0x05, {0x0F, 0x40, 0x05}), Bosch(129, 0x05, {0, 0, 0}),
         100.0 * 8 / 15, -60.0, 54},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol);
        Sim sim({"--protocol", c.protocol, "--state-interval", "0.1"});
        ASSERT_TRUE(sim.ok());
        Port port(sim.path());
        ASSERT_TRUE(port.ok());

        const auto sent_move = Clock::now();
        ASSERT_TRUE(port.Write(c.move));
        std::optional<Json> move = sim.WaitFrame("move", c.address);
        ASSERT_TRUE(move);
        EXPECT_EQ((*move)["pan"]["percent"].integer(), c.pan_percent);
        EXPECT_EQ((*move)["raw"].str(), Hex(c.move));
        EXPECT_TRUE((*move)["state"]["moving"].boolean());
        // Let it turn through 20 degrees or so, as the simulator itself reports.
        ASSERT_TRUE(sim.WaitFor([&](const Json& e) {
            return IsEvent(e, "state", c.address) &&
                   std::fabs(SignedPan(e["state"]["pan"].num())) >= 20;
        }));
        const auto sent_stop = Clock::now();
        ASSERT_TRUE(port.Write(c.stop));
        std::optional<Json> stop = sim.WaitFrame("stop", c.address);
        ASSERT_TRUE(stop);
        std::optional<Json> stopped = sim.Next();
        ASSERT_TRUE(stopped);
        EXPECT_TRUE(IsEvent(*stopped, "stopped", c.address)) << "a stop is visible";

        // Exactly what the rates give over the time between the two frames as received...
        const double dt = (*stop)["elapsed"].num() - (*move)["elapsed"].num();
        const double pan = SignedPan((*stop)["state"]["pan"].num());
        const double tilt = (*stop)["state"]["tilt"].num();
        EXPECT_NEAR(pan, c.pan_deg_per_s * dt, 0.005);
        EXPECT_NEAR(tilt, c.tilt_deg_per_s * dt, 0.005);
        EXPECT_FALSE((*stop)["state"]["moving"].boolean());
        EXPECT_EQ((*stopped)["state"]["pan"].num(), (*stop)["state"]["pan"].num());
        // ...and about what they give over the time the test measured between its writes.
        const double measured = std::chrono::duration<double>(sent_stop - sent_move).count();
        EXPECT_NEAR(dt, measured, 0.3);

        // Stopped means stopped: the final state is where the stop left it.
        ASSERT_EQ(sim.End(), 0);
        const Json& last_final = sim.seen()[sim.seen().size() - 2];
        ASSERT_TRUE(IsEvent(last_final, "final", c.address));
        EXPECT_EQ(last_final["state"]["pan"].num(), (*stop)["state"]["pan"].num());
        EXPECT_EQ(last_final["state"]["tilt"].num(), tilt);
    }
}

TEST(PtzSim, MalformedBytesAreReportedAndDecodingResumes) {
    struct Expected {
        std::string kind;
        std::string error;  // malformed only
        Bytes raw;
    };
    struct Case {
        const char* protocol;
        Bytes garbage;
        Bytes move;
        Bytes corrupt;
        const char* corrupt_error;
        Bytes stop;
        Bytes cut;  // the start of a frame, then silence
    };
    Bytes bad_pelco = Pelco(1, 0, 0, 0, 0);
    bad_pelco[6] ^= 0x01;
    Bytes bad_bosch = Bosch(1, 0x05, {0x00, 0x78, 0x01});
    bad_bosch.back() ^= 0x01;
    const Case cases[] = {
        {"pelco-d",
         {0x01, 0x02, 0x03},
         Pelco(1, 0, 0x02, 0x3F, 0),
         bad_pelco,
         "bad-checksum",
         Pelco(1, 0, 0, 0, 0),
         {0xFF, 0x01, 0x00}},
        {"panasonic", Text("junk"), Text(Panasonic("RON:7;GCN:9028CF0:9034008:0021004")),
         Text(Panasonic("RON:7;GC7:903006B:0022070")), "bad-length",
         Text(Panasonic("RON:7;GCN:9028100:9034008:0021004")), Text("\x02RON:7;GC")},
        {"bosch",
         {0x11, 0x22},
         Bosch(1, 0x05, {0x00, 0x78, 0x01}),
         bad_bosch,
         "bad-checksum",
         Bosch(1, 0x05, {0, 0, 0}),
         {0x87, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol);
        Sim sim({"--protocol", c.protocol, "--state-interval", "0"});
        ASSERT_TRUE(sim.ok());
        Port port(sim.path());
        ASSERT_TRUE(port.ok());
        // All in one write: the decoder has to find the frames among the garbage.
        ASSERT_TRUE(port.Write(k47test::Concat({c.garbage, c.move, c.corrupt, c.stop, c.cut})));
        const std::vector<Expected> expected = {
            {"malformed", "bad-sync", c.garbage},
            {"move", "", c.move},
            {"malformed", c.corrupt_error, c.corrupt},
            {"stop", "", c.stop},
            // Reported once the line has been quiet for a while.
            {"malformed", "truncated", c.cut},
        };
        for (const Expected& want : expected) {
            std::optional<Json> e =
                sim.WaitFor([](const Json& e) { return e["event"].str() == "frame"; });
            ASSERT_TRUE(e) << "waiting for " << want.kind;
            EXPECT_EQ((*e)["kind"].str(), want.kind);
            EXPECT_EQ((*e)["raw"].str(), Hex(want.raw));
            if (!want.error.empty()) {
                EXPECT_EQ((*e)["error"].str(), want.error);
                EXPECT_FALSE(e->has("state")) << "no camera takes a malformed frame";
            } else {
                EXPECT_TRUE(e->has("state"));
            }
        }
        // After the cut frame the next one is whole again.
        ASSERT_TRUE(port.Write(c.move));
        std::optional<Json> again = sim.WaitFrame("move");
        ASSERT_TRUE(again);
        EXPECT_EQ((*again)["raw"].str(), Hex(c.move));
        ASSERT_EQ(sim.End(), 0);
        const Json& exit = sim.seen().back();
        ASSERT_EQ(exit["event"].str(), "exit");
        EXPECT_EQ(exit["frames"].integer(), 3);
        EXPECT_EQ(exit["malformed"].integer(), 3);
    }
}

TEST(PtzSim, EndsCleanlyAndRemovesItsLink) {
    struct Case {
        int signal;
        const char* reason;
        bool stale_link;  // a link left by an earlier run is taken over
    };
    for (const Case& c : {Case{SIGTERM, "SIGTERM", false}, Case{SIGINT, "SIGINT", true},
                          Case{SIGHUP, "SIGHUP", false}}) {
        SCOPED_TRACE(c.reason);
        k47test::TempFolder folder;
        const std::string link = folder.Path() + "/camera.tty";
        if (c.stale_link) {
            ASSERT_EQ(symlink("/dev/pts/nonexistent", link.c_str()), 0);
        }
        Sim sim({"--protocol", "pelco-d", "--link", link});
        ASSERT_TRUE(sim.ok());
        EXPECT_EQ(sim.start()["link"].str(), link);
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), sim.path());
        Port port(link);  // scripts open the line by its link
        ASSERT_TRUE(port.ok());
        ASSERT_TRUE(port.Write(Pelco(1, 0, 0x02, 0x3F, 0)));
        std::optional<Json> move = sim.WaitFrame("move", 1);
        ASSERT_TRUE(move);

        EXPECT_EQ(sim.End(c.signal), 0);
        ASSERT_GE(sim.seen().size(), 2u);
        const Json& final_state = sim.seen()[sim.seen().size() - 2];
        EXPECT_TRUE(IsEvent(final_state, "final", 1));
        EXPECT_TRUE(final_state["state"]["moving"].boolean());
        EXPECT_GT(final_state["elapsed"].num(), (*move)["elapsed"].num());
        EXPECT_GT(final_state["state"]["pan"].num(), 0.0);
        const Json& exit = sim.seen().back();
        EXPECT_EQ(exit["event"].str(), "exit");
        EXPECT_EQ(exit["reason"].str(), c.reason);
        EXPECT_EQ(exit["frames"].integer(), 1);
        struct stat st {};
        EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed";
    }
    {
        // Nobody reads the report any more: the simulator ends (status 1, failed) at its next line
        // and still removes its link.
        k47test::TempFolder folder;
        const std::string link = folder.Path() + "/camera.tty";
        Sim sim({"--protocol", "bosch", "--link", link});
        ASSERT_TRUE(sim.ok());
        Port port(link);
        ASSERT_TRUE(port.ok());
        sim.process().CloseOutput();
        ASSERT_TRUE(port.Write(Bosch(1, 0x05, {0, 0, 0})));
        EXPECT_EQ(sim.process().Wait(kEventTimeout), 1);
        struct stat st {};
        EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed";
    }
}

// --- The line model: pacing, stalls, echo ---

double Seconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Stamps are printed to the microsecond, and a test compares two of them.
constexpr double kStampTolerance = 2e-6;

Bytes Repeated(const Bytes& frame, int times) {
    Bytes all;
    for (int i = 0; i < times; ++i) {
        all.insert(all.end(), frame.begin(), frame.end());
    }
    return all;
}

bool IsFlow(const Json& e, const std::string& flow) {
    return e["event"].str() == "line" && e["flow"].str() == flow;
}

// Frames handed over at once arrive one frame time apart (exactly: the model's stamps), the mean
// spacing within 1 % of `frame_s` (a wrong bit count is 9 % or more off).
void ExpectPaced(const std::vector<Json>& frames, double frame_s) {
    ASSERT_GE(frames.size(), 2u);
    for (size_t i = 1; i < frames.size(); ++i) {
        const double gap = frames[i]["elapsed"].num() - frames[i - 1]["elapsed"].num();
        EXPECT_GE(gap, frame_s - kStampTolerance) << "frame " << i;
        EXPECT_LT(gap, 1.5 * frame_s) << "frame " << i;
    }
    const double mean = (frames.back()["elapsed"].num() - frames.front()["elapsed"].num()) /
                        static_cast<double>(frames.size() - 1);
    EXPECT_NEAR(mean, frame_s, frame_s * 0.01);
}

TEST(PtzSimLine, FramesWrittenAtOnceArriveAtTheLineRate) {
    Sim sim({"--protocol", "pelco-d", "--state-interval", "0"});
    ASSERT_TRUE(sim.ok());
    EXPECT_TRUE(sim.start()["paced"].boolean());
    EXPECT_TRUE(sim.start()["baud"].is_null());
    Port port(sim.path(), B9600);
    ASSERT_TRUE(port.ok());
    const Bytes frame = Pelco(1, 0, 0, 0, 0);
    constexpr int kFrames = 20;
    const double frame_s = 7 * 10 / 9600.0;  // 8N1: 10 bits a byte

    const double written = Seconds(Clock::now());
    ASSERT_TRUE(port.Write(Repeated(frame, kFrames)));
    std::vector<Json> frames = sim.Frames(kFrames);
    const double received = Seconds(Clock::now());
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));

    ExpectPaced(frames, frame_s);
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(frames[i]["raw"].str(), Hex(frame));
        // Everything written at once waits behind each frame until it crossed the line.
        EXPECT_EQ(frames[i]["queued"].integer(), (kFrames - 1 - i) * 7) << "frame " << i;
    }
    // The line starts once the bytes are there: the first frame takes a frame time, the last
    // one all twenty, and nothing is reported before it arrived.
    EXPECT_GE(sim.Monotonic(frames.front()), written + frame_s - kStampTolerance);
    EXPECT_GE(sim.Monotonic(frames.back()), written + kFrames * frame_s - kStampTolerance);
    EXPECT_GE(received, written + kFrames * frame_s);
    EXPECT_LT(received, written + kFrames * frame_s + 1.0);
}

TEST(PtzSimLine, RateAndCharacterSizeFollowThePortOrBaud) {
    const Bytes frame = Pelco(1, 0, 0, 0, 0);
    constexpr int kFrames = 5;
    struct Burst {
        speed_t speed;
        tcflag_t extra;
        double frame_s;
    };
    {
        SCOPED_TRACE("the writer's settings");
        Sim sim({"--protocol", "pelco-d", "--state-interval", "0"});
        ASSERT_TRUE(sim.ok());
        Port port(sim.path());
        ASSERT_TRUE(port.ok());
        // A pty keeps 8 data bits and no parity whatever a host sets; the stop bits it keeps.
        const Burst bursts[] = {
            {B2400, 0, 7 * 10 / 2400.0},  // four times the 9600 spacing
            {B9600, 0, 7 * 10 / 9600.0},
            {B9600, CSTOPB, 7 * 11 / 9600.0},  // start, 8 data, 2 stop
            {B19200, 0, 7 * 10 / 19200.0},
        };
        for (const Burst& b : bursts) {
            SCOPED_TRACE(b.frame_s);
            // The previous burst has arrived: the line is idle when the settings change.
            ASSERT_TRUE(port.Set(b.speed, b.extra));
            ASSERT_TRUE(port.Write(Repeated(frame, kFrames)));
            std::vector<Json> frames = sim.Frames(kFrames);
            ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
            ExpectPaced(frames, b.frame_s);
        }
    }
    {
        SCOPED_TRACE("--baud");
        Sim sim({"--protocol", "pelco-d", "--state-interval", "0", "--baud", "19200"});
        ASSERT_TRUE(sim.ok());
        EXPECT_EQ(sim.start()["baud"].integer(), 19200);
        Port port(sim.path());
        ASSERT_TRUE(port.ok());
        // The rate is --baud's, the character still the port's.
        const Burst bursts[] = {
            {B2400, 0, 7 * 10 / 19200.0},
            {B2400, CSTOPB, 7 * 11 / 19200.0},
        };
        for (const Burst& b : bursts) {
            SCOPED_TRACE(b.frame_s);
            ASSERT_TRUE(port.Set(b.speed, b.extra));
            ASSERT_TRUE(port.Write(Repeated(frame, kFrames)));
            std::vector<Json> frames = sim.Frames(kFrames);
            ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
            ExpectPaced(frames, b.frame_s);
        }
    }
}

TEST(PtzSimLine, InstantLineTakesBytesAsTheyCome) {
    Sim sim({"--protocol", "pelco-d", "--state-interval", "0", "--instant"});
    ASSERT_TRUE(sim.ok());
    EXPECT_FALSE(sim.start()["paced"].boolean());
    Port port(sim.path(), B2400);
    ASSERT_TRUE(port.ok());
    constexpr int kFrames = 20;
    ASSERT_TRUE(port.Write(Repeated(Pelco(1, 0, 0, 0, 0), kFrames)));
    std::vector<Json> frames = sim.Frames(kFrames);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    // Paced at 2400 Bd these would take 583 ms; unpaced they come together.
    EXPECT_LT(frames.back()["elapsed"].num() - frames.front()["elapsed"].num(), 7 * 10 / 2400.0);
    EXPECT_EQ(frames.back()["queued"].integer(), 0);
}

TEST(PtzSimLine, StalledLineBlocksTheWriterUntilSignalled) {
    Sim sim({"--protocol", "pelco-d", "--state-interval", "0", "--stall", "--baud", "2400"});
    ASSERT_TRUE(sim.ok());
    EXPECT_TRUE(sim.start()["stalled"].boolean());
    std::optional<Json> stalled = sim.Next();
    ASSERT_TRUE(stalled && IsFlow(*stalled, "stalled"));
    EXPECT_TRUE((*stalled)["writer_held"].boolean());
    Port port(sim.path());
    ASSERT_TRUE(port.ok());
    ASSERT_EQ(fcntl(port.fd(), F_SETFL, O_NONBLOCK), 0);
    const Bytes frame = Pelco(1, 0, 0, 0, 0);
    auto writable = [&](int timeout_ms) {
        pollfd p{port.fd(), POLLOUT, 0};
        return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLOUT);
    };

    // Stuck from the start: not one byte goes.
    EXPECT_FALSE(writable(200));
    EXPECT_EQ(write(port.fd(), frame.data(), frame.size()), -1);
    EXPECT_EQ(errno, EAGAIN);

    ASSERT_TRUE(sim.process().Signal(SIGUSR1));
    std::optional<Json> flowing = sim.WaitFor([](const Json& e) { return IsFlow(e, "flowing"); });
    ASSERT_TRUE(flowing);
    ASSERT_TRUE(writable(2000));
    constexpr int kFrames = 10;  // 292 ms at 2400 Bd
    ASSERT_TRUE(port.Write(Repeated(frame, kFrames)));
    std::optional<Json> first = sim.WaitFrame("stop", 1);
    ASSERT_TRUE(first);
    EXPECT_GT(sim.Monotonic(*first), sim.Monotonic(*flowing));

    // Stuck mid-burst: the rest stays queued, nothing is read, writes block again.
    ASSERT_TRUE(sim.process().Signal(SIGUSR1));
    stalled = sim.WaitFor([](const Json& e) { return IsFlow(e, "stalled"); });
    ASSERT_TRUE(stalled);
    size_t before = 0;
    for (const Json& e : sim.seen()) {
        before += e["event"].str() == "frame";
    }
    ASSERT_LT(before, static_cast<size_t>(kFrames));
    // All but the frames reported and at most part of the next one wait on the line.
    const int left = static_cast<int>(kFrames - before) * 7;
    EXPECT_LE((*stalled)["queued"].integer(), left);
    EXPECT_GT((*stalled)["queued"].integer(), left - 7);
    EXPECT_FALSE(sim.Next(200ms)) << "a stalled line reports nothing";
    EXPECT_FALSE(writable(0));

    ASSERT_TRUE(sim.process().Signal(SIGUSR1));
    ASSERT_TRUE(sim.WaitFor([](const Json& e) { return IsFlow(e, "flowing"); }));
    std::vector<Json> rest = sim.Frames(kFrames - before);
    EXPECT_EQ(rest.size(), kFrames - before);
    ASSERT_EQ(sim.End(), 0);
    EXPECT_EQ(sim.seen().back()["frames"].integer(), kFrames);
}

TEST(PtzSimLine, EchoComesBackBeforeTheAnswer) {
    const Bytes first = Pelco(1, 0, 0, 0, 0);
    const Bytes second = Pelco(2, 0, 0x02, 0x20, 0);
    {
        SCOPED_TRACE("answers");
        // Both frames taken in one read: each one's answer still follows its own echo.
        Sim sim(
            {"--protocol", "pelco-d", "--state-interval", "0", "--instant", "--echo", "--answer"});
        ASSERT_TRUE(sim.ok());
        EXPECT_TRUE(sim.start()["echo"].boolean());
        Port port(sim.path());
        ASSERT_TRUE(port.ok());
        ASSERT_TRUE(port.Write(k47test::Concat({first, second})));
        std::vector<std::string> answers;
        while (answers.size() < 2) {
            std::optional<Json> e =
                sim.WaitFor([](const Json& e) { return e["event"].str() == "answer"; });
            ASSERT_TRUE(e);
            EXPECT_EQ((*e)["written"].integer(), 4);
            answers.push_back((*e)["raw"].str());
        }
        const Bytes back = port.Read(7 + 4 + 7 + 4);
        ASSERT_EQ(back.size(), 22u);
        EXPECT_EQ(Hex(Bytes(back.begin(), back.begin() + 7)), Hex(first));
        EXPECT_EQ(Hex(Bytes(back.begin() + 7, back.begin() + 11)), answers[0]);
        EXPECT_EQ(Hex(Bytes(back.begin() + 11, back.begin() + 18)), Hex(second));
        EXPECT_EQ(Hex(Bytes(back.begin() + 18, back.end())), answers[1]);
    }
    {
        SCOPED_TRACE("paced");
        Sim sim({"--protocol", "pelco-d", "--state-interval", "0", "--echo"});
        ASSERT_TRUE(sim.ok());
        Port port(sim.path(), B9600);
        ASSERT_TRUE(port.ok());
        const Bytes all = Repeated(second, 3);
        const auto written = Clock::now();
        ASSERT_TRUE(port.Write(all));
        const Bytes back = port.Read(all.size());
        // Echoed as the bytes cross the line, not when they were handed over.
        EXPECT_GE(Clock::now() - written, std::chrono::microseconds(21 * 10 * 1000000 / 9600));
        EXPECT_EQ(Hex(back), Hex(all));
        EXPECT_EQ(port.Queued(), 0) << "nothing but the echo";
    }
}

TEST(PtzSim, WrongUsageIsExplainedWithItsExitCode) {
    k47test::TempFolder folder;
    const std::string file = folder.Path() + "/not-a-link";
    std::ofstream(file) << "keep me\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;  // on standard error
    };
    const Case cases[] = {
        {{}, 2, "--protocol"},
        {{"--protocol", "sony"}, 2, "sony"},
        {{"--protocol", "bosch", "--answer"}, 2, "only Pelco-D cameras answer"},
        {{"--protocol", "pelco-d", "--baud", "9600", "--instant"}, 2, "no speed"},
        {{"--protocol", "pelco-d", "--baud", "10"}, 2, "50 to 4000000"},
        {{"--protocol", "pelco-d", "--device", "/dev/null", "--baud", "12345"},
         2,
         "standard speed"},
        {{"--protocol", "pelco-d", "--model", "1=sony"}, 2, "pelco, messoa or generic"},
        {{"--protocol", "pelco-d", "--model", "300=pelco"}, 2, "0..255"},
        {{"--protocol", "panasonic", "--model", "pelco"}, 2, "for Pelco-D"},
        {{"--protocol", "pelco-d", "--tilt-min", "10", "--tilt-max", "0"}, 2, "--tilt-min"},
        {{"--protocol", "pelco-d", "--device", "/nonexistent/ttyS9"}, 8, "cannot open"},
        {{"--protocol", "pelco-d", "--device", "/dev/null"}, 8, "not a serial line"},
        {{"--protocol", "pelco-d", "--link", file}, 1, "not a symbolic link"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        ToolProcess sim(Tool(), c.args);
        ASSERT_TRUE(sim.started());
        EXPECT_EQ(sim.Wait(kEventTimeout), c.status);
        const std::string err = sim.Stderr();
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
    std::ifstream kept(file);
    std::string content;
    std::getline(kept, content);
    EXPECT_EQ(content, "keep me");

    ToolProcess help(Tool(), {"--help"});
    std::string text;
    while (std::optional<std::string> line = help.ReadLine(kEventTimeout)) {
        text += *line + "\n";
    }
    EXPECT_EQ(help.Wait(kEventTimeout), 0);
    EXPECT_NE(text.find("Exit codes: 0 ended by ctrl-c"), std::string::npos) << text;
    EXPECT_NE(text.find("ptzsim: line PATH"), std::string::npos) << text;
}

}  // namespace
