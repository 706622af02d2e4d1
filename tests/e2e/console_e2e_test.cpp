// The console's API end to end: POSTs on the HTTP listener reach a Pelco-D camera's line as the
// frames they stand for, in the order they were sent. The dead-man time-out of an abandoned move:
// tests/timing/console_deadman_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/host/ConsoleSimLine.h"

namespace {

// Waits up to 2 s for the line to show `count` frames of `kind`.
bool WaitForFrames(k47test::ConsoleSimLine& line, const std::string& kind, size_t count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (line.Frames(kind).size() < count) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

TEST(ConsoleEndToEnd, AMoveThenAPresetThenAStopReachTheLineAsTheirFrames) {
    k47test::ConsoleSimLine line;
    ASSERT_NO_FATAL_FAILURE(line.Start());

    ASSERT_EQ(line.Post("move", R"({"pan":-100,"tilt":50})"), 204u);
    ASSERT_TRUE(WaitForFrames(line, "move", 1));
    const std::vector<int> move = k47test::FrameBytes(line.Frames("move").front());
    ASSERT_EQ(move.size(), 7u);
    // Command 2: left (0x04) and up (0x08) only; full pan speed 0x3F, tilt about half of it.
    EXPECT_EQ(move[3], 0x04 | 0x08);
    EXPECT_EQ(move[4], 0x3F);
    EXPECT_GE(move[5], 0x1C);
    EXPECT_LE(move[5], 0x22);

    ASSERT_EQ(line.Post("preset", R"({"action":"go","number":3})"), 204u);
    ASSERT_TRUE(WaitForFrames(line, "preset-go", 1));
    const std::vector<int> go = k47test::FrameBytes(line.Frames("preset-go").front());
    ASSERT_EQ(go.size(), 7u);
    EXPECT_EQ(go[3], 0x07);  // Pelco-D's go to preset
    EXPECT_EQ(go[5], 3);

    ASSERT_EQ(line.Post("preset", R"({"action":"set","number":12})"), 204u);
    ASSERT_TRUE(WaitForFrames(line, "preset-set", 1));
    EXPECT_EQ(k47test::FrameBytes(line.Frames("preset-set").front())[5], 12);

    const size_t stopsBefore = line.Frames("stop").size();
    ASSERT_EQ(line.Post("stop", "{}"), 204u);
    ASSERT_TRUE(WaitForFrames(line, "stop", stopsBefore + 1));
    // In the order sent: the move before the preset, the preset before the stop.
    EXPECT_LT(line.Frames("move").front().at, line.Frames("preset-go").front().at);
    EXPECT_LT(line.Frames("preset-set").front().at, line.Frames("stop").back().at);
    // A refused request puts nothing on the line.
    const size_t moves = line.Frames("move").size();
    EXPECT_EQ(line.Post("move", R"({"pan":101})"), 400u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(line.Frames("move").size(), moves);
}
