// A console page that dies while its joystick is held: the page renews the move every 150 ms,
// and once the renewals end nothing but the camera's own 5 s time-out stops the camera. The stop
// must be on the ptzsim line (9600 Bd, paced like a real one) no earlier than 5.0 s and within
// 5.1 s after the last renewal, and no stop may come while the renewals go on.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/host/ConsoleSimLine.h"

namespace {

constexpr double kDeadMan = 5.0;
constexpr double kSlack = 0.1;          // the most the stop may trail the time-out
constexpr double kFrame = 70.0 / 9600;  // one Pelco-D frame on the wire: 7.29 ms

}  // namespace

TEST(ConsoleDeadMan, AnAbandonedMoveStopsFiveSecondsAfterItsLastRenewal) {
    k47test::ConsoleSimLine line;
    ASSERT_NO_FATAL_FAILURE(line.Start());

    const double first = k47test::MonotonicNow();
    double lastBegin = 0;
    double lastEnd = 0;
    // Renewals at 0, 0.15 ... 0.9 s and one at 1.05 s: a second of holding.
    for (int i = 0; i <= 7; ++i) {
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(first + 0.15 * i))));
        lastBegin = k47test::MonotonicNow();
        ASSERT_EQ(line.Post("move", R"({"pan":40})"), 204u);
        lastEnd = k47test::MonotonicNow();
    }
    ASSERT_LT(lastEnd - first, 1.3) << "the renewals were not sent in time";

    // Watch until well past the time the stop is due.
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(lastEnd + kDeadMan + 0.5))));
    const auto stops = line.Frames("stop");
    ASSERT_FALSE(stops.empty()) << "no stop on the line";
    EXPECT_GE(line.Frames("move").size(), 1u);
    for (const auto& stop : stops)
        EXPECT_GE(stop.at, lastBegin + kDeadMan) << "a stop while the move was renewed or early";
    const double due = stops.front().at - lastBegin;
    RecordProperty("stop_after_last_renewal_ms", static_cast<int>(due * 1000));
    // The last byte of the stop is on the wire at least a frame after the time-out.
    EXPECT_GE(stops.front().at, lastBegin + kDeadMan + kFrame);
    EXPECT_LE(stops.front().at, lastEnd + kDeadMan + kSlack)
        << "the stop came " << due << " s after the last renewal";
    EXPECT_EQ(stops.size(), 1u) << "the time-out stops once";
}
