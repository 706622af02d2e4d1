// The Pelco-D driver on a real pty, with the Pelco-D decoder and the simulated camera's answers
// on the far end: frame bytes, refresh frames and their timing, answers by command 2 and their
// time-outs, the busy line, menu steps that nothing can split, and write failures.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "drivers/PelcoD.h"
#include "sim/PelcoDAnswer.h"
#include "sim/SimulatedCamera.h"
#include "tests/drivers/DriverTestUtil.h"

namespace {

using namespace k47test;
using k47::sim::DecodedFrame;
using k47::sim::FrameKind;
using k47::sim::Protocol;
using Clock = std::chrono::steady_clock;

// A frame with its checksum.
Bytes Pelco(int address, int command1, int command2, int data1, int data2) {
    Bytes frame = {0xFF,
                   static_cast<uint8_t>(address),
                   static_cast<uint8_t>(command1),
                   static_cast<uint8_t>(command2),
                   static_cast<uint8_t>(data1),
                   static_cast<uint8_t>(data2),
                   0};
    frame[6] = static_cast<uint8_t>(frame[1] + frame[2] + frame[3] + frame[4] + frame[5]);
    return frame;
}

constexpr int kMarkerAddress = 0xEE;  // never added: no refresh, no answer

class PelcoDriverTest : public ::testing::Test {
  protected:
    void SetUp() override { RegisterLibraryClasses(); }

    void Init(const std::string& more = "") {
        ASSERT_HR_OK(driver_.Initialize(LineAttributes(line_.Path(), more)));
    }
    IK47PTZProtocol* Driver() { return driver_.protocol.Get(); }

    // Sends a marker frame and expects it next on the line: nothing was written before it.
    void ExpectNothingWritten(const std::string& what) {
        ASSERT_HR_OK(Driver()->Command(kMarkerAddress, PTZCMD_GOTOPRESET, 0x77));
        EXPECT_EQ(Hex(line_.NextBytes()), Hex(Pelco(kMarkerAddress, 0, 7, 0, 0x77))) << what;
    }

    FarEnd line_{Protocol::kPelcoD};
    DriverUnderTest<CPelcoD> driver_;
    LogCapture log_;
};

// Each call's values reach the line in the right places, one frame per call (every byte edge of
// the frames themselves is tested on the encoder, in pelcod_frame_test.cpp).
TEST_F(PelcoDriverTest, FramesCarryTheProtocolBytes) {
    Init();
    struct Case {
        const char* name;
        std::function<HRESULT(IK47PTZProtocol*)> call;
        Bytes expected;
        FrameKind kind;
    };
    auto move = [](INT_PTR a, SHORT p, SHORT t, SHORT z, SHORT f, SHORT i) {
        return [=](IK47PTZProtocol* d) { return d->MoveRelative(a, p, t, z, f, i); };
    };
    auto command = [](INT_PTR a, int cmd, INT_PTR arg) {
        return [=](IK47PTZProtocol* d) { return d->Command(a, static_cast<PTZCOMMAND>(cmd), arg); };
    };
    const Case cases[] = {
        {"pan +100 at 1", move(1, 100, 0, 0, 0, 0), Pelco(1, 0, 0x02, 0x3F, 0), FrameKind::kMove},
        {"tilt -50 at 1", move(1, 0, -50, 0, 0, 0), Pelco(1, 0, 0x10, 0, 0x1F), FrameKind::kMove},
        {"zoom +7 at 2", move(2, 0, 0, 7, 0, 0), Pelco(2, 0, 0x20, 0, 0), FrameKind::kMove},
        {"focus +1, iris -1 at 1", move(1, 0, 0, 0, 1, -1), Pelco(1, 0x04, 0x80, 0, 0),
         FrameKind::kMove},
        {"go to preset 12 at 3", command(3, PTZCMD_GOTOPRESET, 12), Pelco(3, 0, 0x07, 0, 0x0C),
         FrameKind::kPresetGo},
        {"a command outside the enumeration goes out as it is", command(1, 0x45, 0),
         Pelco(1, 0, 0x45, 0, 0), FrameKind::kUnknown},
    };
    for (const Case& c : cases) {
        EXPECT_HR_OK(c.call(Driver())) << c.name;
        std::vector<DecodedFrame> frames = line_.Next(1);
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(Hex(frames[0].raw), Hex(c.expected)) << c.name;
        EXPECT_EQ(frames[0].kind, c.kind) << c.name << ": " << k47::sim::Describe(frames[0]);
        EXPECT_EQ(frames[0].address, c.expected[1]) << c.name;
    }
    ExpectNothingWritten("one frame per call");
    EXPECT_TRUE(log_.Lines().empty());
}

// Which refresh frames a camera gets follows its flags; with interval 0 they precede every command
// and plain move (menu open included, being a command), never a menu move.
TEST_F(PelcoDriverTest, RefreshFramesByFlagsAndIntervalZero) {
    Init("InitIntervalSec=\"0\"");
    struct Case {
        const char* attributes;
        int address;
        Bytes refresh;
    };
    const Case cases[] = {
        {"Address=\"5\" TurnON=\"1\"", 5, Pelco(5, 0x88, 0, 0, 0)},
        {"Address=\"6\" SetManual=\"7\"", 6, Pelco(6, 0x10, 0, 0, 0)},
        {"Address=\"7\" TurnON=\"-1\" SetManual=\"1\"", 7,
         Join({Pelco(7, 0x88, 0, 0, 0), Pelco(7, 0x10, 0, 0, 0)})},
        {"Address=\"8\" TurnON=\"0\" SetManual=\"0\"", 8, {}},
    };
    for (const Case& c : cases) {
        auto camera = AddCamera(Driver(), c.attributes);
        size_t count = c.refresh.size() / 7;
        if (count > 0) {
            EXPECT_EQ(Hex(line_.NextBytes(count)), Hex(c.refresh)) << c.attributes << ": added";
        }

        ASSERT_HR_OK(Driver()->MoveRelative(c.address, 0, 0, 0, 0, 0));
        EXPECT_EQ(Hex(line_.NextBytes(count + 1)),
                  Hex(Join({c.refresh, Pelco(c.address, 0, 0, 0, 0)})))
            << c.attributes << ": move";
        ASSERT_HR_OK(Driver()->Command(c.address, PTZCMD_AUTOIRIS, 1));
        EXPECT_EQ(Hex(line_.NextBytes(count + 1)),
                  Hex(Join({c.refresh, Pelco(c.address, 0, 0x2D, 0, 1)})))
            << c.attributes << ": command";
        ASSERT_HR_OK(Driver()->MenuCommand(c.address, PTZMENUCMD_OPEN));
        EXPECT_EQ(Hex(line_.NextBytes(count + 1)),
                  Hex(Join({c.refresh, Pelco(c.address, 0, 0x07, 0, 95)})))
            << c.attributes << ": menu open";
        ASSERT_HR_OK(Driver()->MenuCommand(c.address, PTZMENUCMD_LEFT));
        EXPECT_EQ(Hex(line_.NextBytes(2)),
                  Hex(Join({Pelco(c.address, 0, 0x04, 0x3F, 0), Pelco(c.address, 0, 0, 0, 0)})))
            << c.attributes << ": menu move";
    }
    ExpectNothingWritten("flags");
}

// With a non-zero interval the refresh frames come again with the first plain move made
// "InitIntervalSec" or more after the last refresh, never earlier: a client renewing its move
// every 20 ms for 2.5 s with an interval of 1 s gets them exactly twice (the time the driver
// reads is the wall clock, hence a few milliseconds' allowance between the two clocks).
TEST_F(PelcoDriverTest, RefreshFramesComeAgainAtTheInterval) {
    Init("InitIntervalSec=\"1\"");
    constexpr auto kInterval = milliseconds(1000);
    constexpr auto kClocks = milliseconds(2);
    const auto begin = Clock::now();
    AddCamera(Driver(), "Address=\"4\" TurnON=\"1\" SetManual=\"1\"");
    EXPECT_EQ(Hex(line_.NextBytes(2)),
              Hex(Join({Pelco(4, 0x88, 0, 0, 0), Pelco(4, 0x10, 0, 0, 0)})));
    // The calls that refreshed last, as the test saw them: the driver's own time lies between.
    Clock::time_point lastStart = begin;
    Clock::time_point lastEnd = Clock::now();
    int refreshes = 0;
    int moves = 0;
    while (Clock::now() - begin < milliseconds(2500)) {
        std::this_thread::sleep_for(milliseconds(10));  // and 7.3 ms on the line: every 20 ms
        const auto start = Clock::now();
        ASSERT_HR_OK(Driver()->MoveRelative(4, 0, 100, 0, 0, 0));
        const auto end = Clock::now();
        ++moves;
        std::vector<DecodedFrame> frames;
        do {
            std::vector<DecodedFrame> next = line_.Next(1);
            ASSERT_EQ(next.size(), 1u) << "move " << moves;
            frames.push_back(next[0]);
        } while (frames.back().kind != FrameKind::kMove && frames.size() < 3);
        ASSERT_EQ(Hex(frames.back().raw), Hex(Pelco(4, 0, 0x08, 0, 63))) << "move " << moves;
        auto ms = [](Clock::duration d) {
            return std::chrono::duration<double, std::milli>(d).count();
        };
        if (frames.size() == 1) {
            EXPECT_LT(start - lastEnd, kInterval + kClocks)
                << "move " << moves << " began " << ms(start - lastEnd)
                << " ms after the last refresh ended, without one";
            continue;
        }
        ASSERT_EQ(frames.size(), 3u);
        EXPECT_EQ(Hex(Join({frames[0].raw, frames[1].raw})),
                  Hex(Join({Pelco(4, 0x88, 0, 0, 0), Pelco(4, 0x10, 0, 0, 0)})));
        EXPECT_GE(end - lastStart, kInterval - kClocks)
            << "move " << moves << " refreshed " << ms(end - lastStart)
            << " ms after the last refresh began";
        ++refreshes;
        lastStart = start;
        lastEnd = end;
    }
    EXPECT_EQ(refreshes, 2) << moves << " moves";
}

// With "ExpectAnswer" the driver reads exactly the answer's length after each frame: 18 bytes after
// command 2 = 0x45, 7 after 0x51/0x53/0x55/0x63, 4 after anything else. The camera here sends its
// answer and three bytes more in one piece; exactly those three must stay unread.
TEST_F(PelcoDriverTest, AnswerLengthFollowsCommand2) {
    Init();
    AddCamera(Driver(), "Address=\"2\" ExpectAnswer=\"1\"");
    AddCamera(Driver(), "Address=\"3\" ExpectAnswer=\"0\"");
    const Bytes tail = {0xA5, 0x5A, 0xA5};
    k47::sim::CameraState state;
    std::atomic<int> answers{0};
    std::atomic<bool> echo{false};
    line_.SetResponder([&](const DecodedFrame& frame, k47::PtyPair& pty) {
        if (frame.address != 2 && frame.address != 3)
            return;
        Bytes answer = k47::sim::PelcoDAnswer(frame, state);
        if (echo)
            answer.insert(answer.begin(), frame.raw.begin(), frame.raw.end());
        if (frame.address == 2)
            answer.insert(answer.end(), tail.begin(), tail.end());
        pty.WriteAll(answer);
        ++answers;
    });
    struct Case {
        int command2;
        size_t length;
    };
    const Case cases[] = {{0x07, 4}, {0x03, 4}, {0x2B, 4},  {0x51, 7}, {0x53, 7},
                          {0x55, 7}, {0x63, 7}, {0x45, 18}, {0x44, 4}, {0x47, 4}};
    for (const Case& c : cases) {
        auto start = Clock::now();
        ASSERT_HR_OK(Driver()->Command(2, static_cast<PTZCOMMAND>(c.command2), 0));
        EXPECT_LT(Clock::now() - start, milliseconds(1000))
            << std::hex << c.command2 << ": the answer ends the read";
        line_.Next(1);
        EXPECT_TRUE(line_.Pty().WaitSlaveQueued(tail.size(), milliseconds(2000)))
            << std::hex << c.command2;
        EXPECT_EQ(line_.Pty().SlaveQueuedInput(), tail.size())
            << std::hex << c.command2 << ": read " << c.length << " bytes, no more, no less";
    }
    // On a bus that echoes, the frame comes back before the answer: read past it.
    echo = true;
    for (const Case& c : cases) {
        ASSERT_HR_OK(Driver()->Command(2, static_cast<PTZCOMMAND>(c.command2), 0));
        line_.Next(1);
        EXPECT_TRUE(line_.Pty().WaitSlaveQueued(tail.size(), milliseconds(2000)));
        EXPECT_EQ(line_.Pty().SlaveQueuedInput(), tail.size())
            << std::hex << c.command2 << " with echo: the echo and " << c.length << " bytes";
    }
    echo = false;
    // Moves are answered too (4 bytes).
    ASSERT_HR_OK(Driver()->MoveRelative(2, 0, 0, 0, 0, 0));
    line_.Next(1);
    EXPECT_TRUE(line_.Pty().WaitSlaveQueued(tail.size(), milliseconds(2000)));
    EXPECT_EQ(line_.Pty().SlaveQueuedInput(), tail.size()) << "move";

    // Without "ExpectAnswer" nothing is read: the whole answer stays queued.
    ASSERT_HR_OK(Driver()->Command(3, PTZCMD_GOTOPRESET, 1));
    line_.Next(1);
    EXPECT_TRUE(line_.Pty().WaitSlaveQueued(4, milliseconds(2000)));
    EXPECT_EQ(line_.Pty().SlaveQueuedInput(), 4u) << "no answer read";
    EXPECT_EQ(answers.load(), 2 * static_cast<int>(std::size(cases)) + 2);
}

// A silent camera: the read gives up after 1000 ms + 50 ms per expected byte; a camera that stops
// half way ends the read 50 ms after its last byte. Four lines run at once to keep the test short.
TEST(PelcoDriverTiming, UnansweredReadsGiveUpOnTime) {
    RegisterLibraryClasses();
    struct Case {
        int command2;
        size_t partial;  // bytes the camera sends before falling silent
        int minMs;
        int maxMs;
    };
    // Generous upper bounds: a loaded machine may be late, never early.
    const Case cases[] = {
        {0x07, 0, 1200, 1900}, {0x51, 0, 1350, 2050}, {0x45, 0, 1900, 2600}, {0x45, 5, 40, 900}};
    struct Line {
        std::unique_ptr<FarEnd> end;
        DriverUnderTest<CPelcoD> driver;
        Microsoft::WRL::ComPtr<IUnknown> camera;
        HRESULT result = E_FAIL;
        double ms = 0;
    };
    std::vector<std::unique_ptr<Line>> lines;
    for (const Case& c : cases) {
        auto line = std::make_unique<Line>();
        line->end = std::make_unique<FarEnd>(Protocol::kPelcoD);
        ASSERT_HR_OK(line->driver.Initialize(LineAttributes(line->end->Path())));
        line->camera = AddCamera(line->driver.protocol.Get(), "Address=\"1\" ExpectAnswer=\"1\"");
        size_t partial = c.partial;
        line->end->SetResponder([partial](const DecodedFrame&, k47::PtyPair& pty) {
            if (partial > 0)
                pty.WriteAll(Bytes(partial, 0x11));
        });
        lines.push_back(std::move(line));
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < lines.size(); ++i) {
        threads.emplace_back([&, i] {
            auto start = Clock::now();
            lines[i]->result = lines[i]->driver.protocol->Command(
                1, static_cast<PTZCOMMAND>(cases[i].command2), 0);
            lines[i]->ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_HR_OK(lines[i]->result) << "a short answer is not an error";
        EXPECT_GE(lines[i]->ms, cases[i].minMs - 30)
            << std::hex << cases[i].command2 << " partial " << cases[i].partial;
        EXPECT_LE(lines[i]->ms, cases[i].maxMs)
            << std::hex << cases[i].command2 << " partial " << cases[i].partial;
    }
}

// A stop is never dropped: while another thread holds the line it waits, and while it waits,
// moves that find the line free step aside, so a stream of moves cannot starve it.
TEST_F(PelcoDriverTest, StopWaitsForTheLineAndMovesYieldToIt) {
    Init();
    std::atomic<bool> stopDone{false};
    std::atomic<bool> stopWaiting{false};
    HRESULT stopResult = E_FAIL;
    HRESULT moveResult = E_FAIL;
    std::thread stopper;
    // The line's holder moves a camera itself while the stop waits: the port lock is recursive,
    // so only the rule that moves yield to a waiting stop can refuse that move.
    std::thread holder([&] {
        CK47ScopedLock lock(driver_.object->PortLock());
        stopper = std::thread([&] {
            stopWaiting = true;
            stopResult = Driver()->MoveRelative(1, 0, 0, 0, 0, 0);
            stopDone = true;
        });
        WaitUntil([&] { return stopWaiting.load(); }, milliseconds(1000));
        EXPECT_FALSE(WaitUntil([&] { return stopDone.load(); }, milliseconds(300)))
            << "the stop did not wait for the line";
        moveResult = Driver()->MoveRelative(2, 100, 0, 0, 0, 0);
    });
    holder.join();
    stopper.join();
    EXPECT_HR(S_FALSE, moveResult) << "a move went ahead of a waiting stop";
    EXPECT_HR_OK(stopResult);
    ASSERT_HR_OK(Driver()->MoveRelative(2, 0, 100, 0, 0, 0));
    EXPECT_EQ(Hex(line_.NextBytes(2)), Hex(Join({Pelco(1, 0, 0, 0, 0), Pelco(2, 0, 0x08, 0, 63)})));
}

// On a busy line a camera loses a move at most once in a row: its next move waits for the line,
// so on a crowded line the same cameras do not lose every time.
TEST_F(PelcoDriverTest, ACameraThatLostAMoveWaitsWithItsNext) {
    Init();
    std::atomic<bool> secondDone{false};
    HRESULT second = E_FAIL;
    std::thread mover;
    {
        LockHolder holder(driver_.object->PortLock());
        EXPECT_HR(S_FALSE, Driver()->MoveRelative(1, 100, 0, 0, 0, 0));
        mover = std::thread([&] {
            second = Driver()->MoveRelative(1, 50, 0, 0, 0, 0);
            secondDone = true;
        });
        EXPECT_FALSE(WaitUntil([&] { return secondDone.load(); }, milliseconds(300)))
            << "the second move was dropped too";
        EXPECT_HR(S_FALSE, Driver()->MoveRelative(2, 100, 0, 0, 0, 0)) << "another camera's first";
    }
    mover.join();
    EXPECT_HR_OK(second);
    ASSERT_HR_OK(Driver()->MoveRelative(3, 0, 0, 100, 0, 0));
    EXPECT_EQ(Hex(line_.NextBytes(2)),
              Hex(Join({Pelco(1, 0, 0x02, 31, 0), Pelco(3, 0, 0x20, 0, 0)})))
        << "only the waiting move went out; camera 2's next move would wait as well";
}

// Calls that wait for a busy line take it in the order they came: six stops queued one after
// another go out in that order once the line is free.
TEST_F(PelcoDriverTest, WaitingStopsTakeTheLineInTheOrderTheyCame) {
    Init();
    std::vector<std::thread> stoppers;
    std::atomic<int> waiting{0};
    {
        LockHolder holder(driver_.object->PortLock());
        for (int address = 1; address <= 6; ++address) {
            stoppers.emplace_back([&, address] {
                ++waiting;
                Driver()->MoveRelative(address, 0, 0, 0, 0, 0);
            });
            // The next one comes only once this one waits (it is blocked in the kernel).
            ASSERT_TRUE(WaitUntil([&] { return waiting.load() == address; }, milliseconds(1000)));
            std::this_thread::sleep_for(milliseconds(30));
        }
    }
    for (std::thread& t : stoppers)
        t.join();
    EXPECT_EQ(Hex(line_.NextBytes(6)),
              Hex(Join({Pelco(1, 0, 0, 0, 0), Pelco(2, 0, 0, 0, 0), Pelco(3, 0, 0, 0, 0),
                        Pelco(4, 0, 0, 0, 0), Pelco(5, 0, 0, 0, 0), Pelco(6, 0, 0, 0, 0)})));
}

// While another thread holds the line, a move is dropped at once with S_FALSE and nothing logged;
// commands and queries wait for the line and then go out.
TEST_F(PelcoDriverTest, BusyLineDropsMovesAndCommandsWait) {
    Init();
    HRESULT commandResult = E_FAIL;
    HRESULT queryResult = E_FAIL;
    PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
    ULONG presets = 0;
    std::atomic<bool> commandDone{false};
    std::atomic<bool> queryDone{false};
    std::thread commander;
    std::thread querier;
    {
        LockHolder holder(driver_.object->PortLock());
        // On a thread of its own, so that a move that waited would fail the test, not hang it.
        std::atomic<bool> moveDone{false};
        HRESULT moveResult = E_FAIL;
        std::thread mover([&] {
            moveResult = Driver()->MoveRelative(1, 100, 0, 0, 0, 0);
            moveDone = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return moveDone.load(); }, milliseconds(1000)))
            << "the move does not wait";
        if (!moveDone)
            holder.Release();
        mover.join();
        EXPECT_HR(S_FALSE, moveResult);
        commander = std::thread([&] {
            commandResult = Driver()->Command(1, PTZCMD_GOTOPRESET, 5);
            commandDone = true;
        });
        querier = std::thread([&] {
            queryResult = Driver()->QueryFunctions(1, &functions, &presets);
            queryDone = true;
        });
        EXPECT_FALSE(WaitUntil([&] { return commandDone || queryDone; }, milliseconds(300)))
            << "a command or query went ahead while the line was busy";
        holder.Release();
        commander.join();
        querier.join();
    }
    EXPECT_HR_OK(commandResult);
    EXPECT_HR_OK(queryResult);
    EXPECT_EQ(functions, 0x1A);
    EXPECT_EQ(presets, 15u);
    EXPECT_EQ(Hex(line_.NextBytes()), Hex(Pelco(1, 0, 7, 0, 5)))
        << "the dropped move never goes out";
    EXPECT_HR_OK(Driver()->MoveRelative(1, 100, 0, 0, 0, 0)) << "free again";
    EXPECT_EQ(Hex(line_.NextBytes()), Hex(Pelco(1, 0, 2, 0x3F, 0)));
    EXPECT_TRUE(log_.Lines().empty());
}

// A menu step's move and its stop go out back to back while another thread keeps trying to move
// on the same line: each step starts with the mover spinning, and the mover gets exactly one move
// through per step (before the step takes the line, or after it).
TEST_F(PelcoDriverTest, NothingComesBetweenAMenuMoveAndItsStop) {
    Init();
    constexpr int kSteps = 100;
    std::atomic<int> step{0};
    std::atomic<int> sent{0};
    std::atomic<bool> done{false};
    std::thread mover([&] {
        for (int mine = 1; mine <= kSteps; ++mine) {
            while (step < mine && !done)
                std::this_thread::yield();
            while (!done && Driver()->MoveRelative(2, 50, 0, 0, 0, 0) != S_OK) {
            }
            ++sent;
        }
    });
    const PTZMENUCOMMAND steps[] = {PTZMENUCMD_UP, PTZMENUCMD_DOWN, PTZMENUCMD_LEFT,
                                    PTZMENUCMD_RIGHT};
    for (int i = 1; i <= kSteps; ++i) {
        step = i;
        EXPECT_HR_OK(Driver()->MenuCommand(1, steps[i % 4]));
        EXPECT_TRUE(WaitUntil([&] { return sent >= i; }, milliseconds(5000))) << "step " << i;
    }
    done = true;
    mover.join();

    std::vector<DecodedFrame> frames = line_.Next(3 * kSteps, milliseconds(10000));
    ASSERT_EQ(frames.size(), static_cast<size_t>(3 * kSteps));
    int menuMoves = 0;
    int menuStops = 0;
    int otherMoves = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].address == 2) {
            ++otherMoves;
            continue;
        }
        ASSERT_EQ(frames[i].address, 1);
        if (frames[i].kind == FrameKind::kStop) {
            ++menuStops;
            continue;
        }
        ++menuMoves;
        ASSERT_LT(i + 1, frames.size());
        EXPECT_EQ(frames[i + 1].address, 1)
            << "frame " << i + 1 << " came between a menu move and its stop";
        EXPECT_EQ(frames[i + 1].kind, FrameKind::kStop) << "frame " << i + 1;
    }
    EXPECT_EQ(menuMoves, kSteps);
    EXPECT_EQ(menuStops, kSteps);
    EXPECT_EQ(otherMoves, kSteps);
    ExpectNothingWritten("menu steps");
}

// Menu commands: open by model (Set Preset 95 for Pelco and Messoa in any case, Go To Preset 95
// otherwise), navigation as full-speed move plus stop, and E_INVALIDARG with nothing sent for the
// rest.
TEST_F(PelcoDriverTest, MenuCommands) {
    Init();
    struct Model {
        const char* attribute;
        int address;
        int command2;
    };
    const Model models[] = {{"Model=\"PELCO\"", 10, 3},
                            {"Model=\"pelco\"", 11, 3},
                            {"Model=\"Messoa\"", 12, 3},
                            {"Model=\"\"", 13, 7},
                            {"", 14, 7},
                            {"Model=\"PelcoD\"", 15, 7},
                            {"Model=\"MESSOA2\"", 16, 7}};
    for (const Model& m : models) {
        AddCamera(Driver(),
                  std::string(m.attribute) + " Address=\"" + std::to_string(m.address) + "\"");
        EXPECT_HR_OK(Driver()->MenuCommand(m.address, PTZMENUCMD_OPEN)) << m.attribute;
        EXPECT_EQ(Hex(line_.NextBytes()), Hex(Pelco(m.address, 0, m.command2, 0, 95)))
            << m.attribute;
    }
    EXPECT_HR_OK(Driver()->MenuCommand(0x42, PTZMENUCMD_OPEN));
    EXPECT_EQ(Hex(line_.NextBytes()), Hex(Pelco(0x42, 0, 7, 0, 95)))
        << "an unknown camera is Generic";

    struct Step {
        PTZMENUCOMMAND cmd;
        Bytes move;
    };
    const Step steps[] = {{PTZMENUCMD_UP, Pelco(1, 0, 0x08, 0, 0x3F)},
                          {PTZMENUCMD_DOWN, Pelco(1, 0, 0x10, 0, 0x3F)},
                          {PTZMENUCMD_LEFT, Pelco(1, 0, 0x04, 0x3F, 0)},
                          {PTZMENUCMD_RIGHT, Pelco(1, 0, 0x02, 0x3F, 0)}};
    for (const Step& s : steps) {
        EXPECT_HR_OK(Driver()->MenuCommand(1, s.cmd));
        EXPECT_EQ(Hex(line_.NextBytes(2)), Hex(Join({s.move, Pelco(1, 0, 0, 0, 0)}))) << s.cmd;
    }
    for (int cmd :
         {int{PTZMENUCMD_CLOSE}, int{PTZMENUCMD_SELECT}, int{PTZMENUCMD_SELECT2}, 8, -1}) {
        EXPECT_HR(E_INVALIDARG, Driver()->MenuCommand(1, static_cast<PTZMENUCOMMAND>(cmd))) << cmd;
    }
    ExpectNothingWritten("rejected menu commands");

    PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
    ULONG presets = 0;
    for (INT_PTR address : {INT_PTR{1}, INT_PTR{12}, INT_PTR{999}}) {
        EXPECT_HR_OK(Driver()->QueryFunctions(address, &functions, &presets));
        EXPECT_EQ(functions, 0x1A) << address;
        EXPECT_EQ(presets, 15u) << address;
    }
}

// A line whose device goes away is down: calls succeed without sending, one log line names the
// element and the device; once the device is back on the same path, the next frame due after the
// retry interval reopens it, every camera gets one stop and its refresh frames, then the frame.
TEST(PelcoDriverLineTest, LineThatVanishesComesBackWithStopsAndRefresh) {
    RegisterLibraryClasses();
    TempFolder dir;
    const std::string link = dir.Path() + "/pelco.tty";
    auto first = std::make_unique<FarEnd>(Protocol::kPelcoD);
    ASSERT_EQ(symlink(first->Path().c_str(), link.c_str()), 0);
    LogCapture log;
    DriverUnderTest<CPelcoD> driver;
    ASSERT_HR_OK(driver.Initialize(LineAttributes(link, "Name=\"Yard\" InitIntervalSec=\"3600\"")));
    AddCamera(driver.protocol.Get(), "Address=\"1\" TurnON=\"1\"");
    AddCamera(driver.protocol.Get(), "Address=\"2\"");
    EXPECT_EQ(Hex(first->NextBytes()), Hex(Pelco(1, 0x88, 0, 0, 0)));

    first->HangUp();
    log.Clear();
    ASSERT_HR_OK(driver.protocol->MoveRelative(1, 100, 0, 0, 0, 0));
    const auto down = Clock::now();
    ASSERT_HR_OK(driver.protocol->Command(2, PTZCMD_GOTOPRESET, 3));
    ASSERT_HR_OK(driver.protocol->MoveRelative(1, 50, 0, 0, 0, 0));
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << "one line for the failure, none per frame";
    EXPECT_NE(lines[0].find("\"Yard\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(link), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("not connected"), std::string::npos) << lines[0];

    FarEnd second(Protocol::kPelcoD);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(second.Path().c_str(), link.c_str()), 0);
    // A client renewing its move ten times a second.
    std::optional<Clock::duration> back;
    while (Clock::now() - down < milliseconds(4000)) {
        ASSERT_HR_OK(driver.protocol->MoveRelative(1, 100, 0, 0, 0, 0));
        if (second.Queued() > 0) {
            back = Clock::now() - down;
            break;
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
    ASSERT_TRUE(back.has_value()) << "the line did not come back";
    EXPECT_GE(*back, milliseconds(2000)) << "tried again before the retry interval";
    EXPECT_LT(*back, milliseconds(2600));
    EXPECT_EQ(Hex(second.NextBytes(4)), Hex(Join({Pelco(1, 0, 0, 0, 0), Pelco(1, 0x88, 0, 0, 0),
                                                  Pelco(2, 0, 0, 0, 0), Pelco(1, 0, 0x02, 63, 0)})))
        << "stops and refresh first, then the move that reopened the line";
    lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("is back"), std::string::npos) << lines[1];
}

}  // namespace
