// The simulator's per-frame core on a fake clock (times passed in by the test): frames stamped
// with their last byte's time, periodic states only for cameras whose shown state changed, a
// partial frame flushed once the line has been quiet, axis ends reported once, Pelco-D answers
// right behind their frames, and when the owner must call again.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "decoder_test_util.h"
#include "sim/Simulator.h"

namespace {

using namespace k47::sim;
using k47test::Bytes;
using k47test::Pelco;
using std::chrono::milliseconds;
using std::chrono::seconds;

SimulatorOptions PelcoOptions() {
    SimulatorOptions options;
    options.protocol = Protocol::kPelcoD;
    options.state_interval = SimTime::zero();
    return options;
}

std::vector<Event> Feed(Simulator& sim, const Bytes& bytes, SimTime now) {
    std::vector<Event> out;
    sim.Feed(bytes.data(), bytes.size(), now, out);
    return out;
}

std::vector<Event> Tick(Simulator& sim, SimTime now) {
    std::vector<Event> out;
    sim.Tick(now, out);
    return out;
}

// Bytes fed one by one at their own arrival times: the frame carries its last byte's time.
TEST(Simulator, FrameTakesItsLastBytesTime) {
    Simulator sim(PelcoOptions());
    const Bytes frame = Pelco(3, 0, 0x07, 0, 12);
    std::vector<Event> events;
    for (size_t i = 0; i < frame.size(); ++i)
        sim.Feed(&frame[i], 1, SimTime(1041667 * static_cast<int64_t>(i + 1)), events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EventType::kFrame);
    EXPECT_EQ(events[0].time, SimTime(7291669));
    EXPECT_EQ(events[0].frame.kind, FrameKind::kPresetGo);
    ASSERT_TRUE(events[0].camera.has_value());
    EXPECT_EQ(events[0].camera->address, 3);
    EXPECT_EQ(sim.counters().frames, 1u);
    EXPECT_EQ(sim.camera_count(), 1u);
}

// States come at the interval, only for cameras whose shown state changed since they were last
// shown; a late tick does not make up the missed ones.
TEST(Simulator, PeriodicStatesOnTheInterval) {
    SimulatorOptions options = PelcoOptions();
    options.state_interval = seconds(1);
    Simulator sim(options);
    std::vector<Event> events = Feed(sim, Pelco(1, 0, 0x02, 0x3F, 0), SimTime(0));  // pan right
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].camera->moving);
    EXPECT_EQ(sim.NextWake(), seconds(1));

    EXPECT_TRUE(Tick(sim, milliseconds(999)).empty());
    events = Tick(sim, seconds(1));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EventType::kState);
    EXPECT_EQ(events[0].time, seconds(1));
    EXPECT_DOUBLE_EQ(events[0].camera->state.pan_deg, 100.0);  // 100 deg/s at full speed
    EXPECT_EQ(sim.NextWake(), seconds(2));

    // Late by 1.5 s: one state, and the next is due at 4 s, not at 3.
    events = Tick(sim, milliseconds(3500));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_DOUBLE_EQ(events[0].camera->state.pan_deg, 350.0);
    EXPECT_EQ(sim.NextWake(), seconds(4));

    events = Feed(sim, Pelco(1, 0, 0, 0, 0), milliseconds(3700));  // the stop
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, EventType::kFrame);
    EXPECT_EQ(events[1].type, EventType::kStopped);
    EXPECT_EQ(events[1].time, milliseconds(3700));
    EXPECT_NEAR(events[1].camera->state.pan_deg, 10.0, 1e-9);  // 370 deg, wrapped
    EXPECT_FALSE(events[1].camera->moving);
    // Shown with the stop and unchanged since: no state at 4 s.
    EXPECT_TRUE(Tick(sim, seconds(4)).empty());
    EXPECT_EQ(sim.NextWake(), seconds(5));
}

// A partial frame on a line that went quiet is flushed as malformed exactly `quiet` after its
// last byte.
TEST(Simulator, QuietLineFlushesAPartialFrame) {
    SimulatorOptions options = PelcoOptions();
    options.quiet = milliseconds(250);
    Simulator sim(options);
    EXPECT_TRUE(Feed(sim, {0xFF, 0x01, 0x00}, milliseconds(10)).empty());
    EXPECT_TRUE(Feed(sim, {0x02}, milliseconds(20)).empty());
    EXPECT_EQ(sim.NextWake(), milliseconds(270));
    EXPECT_TRUE(Tick(sim, milliseconds(269)).empty());
    std::vector<Event> events = Tick(sim, milliseconds(270));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EventType::kFrame);
    EXPECT_EQ(events[0].frame.kind, FrameKind::kMalformed);
    EXPECT_EQ(events[0].time, milliseconds(270));
    EXPECT_EQ(k47::sim::HexBytes(events[0].frame.raw), "ff 01 00 02");
    EXPECT_EQ(sim.counters().malformed, 1u);
    EXPECT_EQ(sim.NextWake(), SimTime::max()) << "nothing pending";
}

// Tilt up at full speed (60 deg/s) from 0 reaches +90 at 1.5 s: the end is reported once, at the
// first tick at or after it; while the axis runs the owner is asked back every limit_check.
TEST(Simulator, AxisEndReportedOnce) {
    SimulatorOptions options = PelcoOptions();
    options.limit_check = milliseconds(50);
    Simulator early(options);
    Feed(early, Pelco(1, 0, 0x08, 0, 0x3F), SimTime(0));
    EXPECT_EQ(early.NextWake(), milliseconds(50));
    EXPECT_TRUE(Tick(early, milliseconds(1499)).empty()) << "1 ms before the end";
    EXPECT_EQ(early.NextWake(), milliseconds(1549));

    Simulator sim(options);
    Feed(sim, Pelco(1, 0, 0x08, 0, 0x3F), SimTime(0));
    std::vector<Event> events = Tick(sim, milliseconds(1500));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EventType::kLimit);
    EXPECT_EQ(events[0].time, milliseconds(1500));
    EXPECT_EQ(events[0].detail, "tilt at top end");
    EXPECT_DOUBLE_EQ(events[0].camera->state.tilt_deg, 90.0);
    EXPECT_TRUE(Tick(sim, seconds(2)).empty());
    EXPECT_EQ(sim.NextWake(), SimTime::max()) << "an axis at its end is not watched";

    // Down for 0.5 s (to 60 deg), then up again: the end comes again 0.5 s later.
    Feed(sim, Pelco(1, 0, 0x10, 0, 0x3F), seconds(3));
    Feed(sim, Pelco(1, 0, 0x08, 0, 0x3F), milliseconds(3500));
    events = Tick(sim, seconds(4));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].detail, "tilt at top end");
}

// With answers on, a Pelco-D frame's answer follows its frame event; without, none is made.
TEST(Simulator, AnswersFollowTheirFrames) {
    SimulatorOptions options = PelcoOptions();
    options.answer = true;
    Simulator sim(options);
    std::vector<Event> events = Feed(sim, Pelco(2, 0, 0x51, 0, 0), milliseconds(5));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, EventType::kFrame);
    EXPECT_EQ(events[1].type, EventType::kAnswer);
    EXPECT_EQ(events[1].time, milliseconds(5));
    EXPECT_EQ(k47::sim::HexBytes(events[1].answer), "ff 02 00 59 00 00 5b");
    events = Feed(sim, Pelco(2, 0, 0x07, 0, 1), milliseconds(6));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(k47::sim::HexBytes(events[1].answer), "ff 02 00 02");
    EXPECT_EQ(sim.counters().answers, 2u);

    Simulator silent(PelcoOptions());
    events = Feed(silent, Pelco(2, 0, 0x51, 0, 0), milliseconds(5));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(silent.counters().answers, 0u);
}

// Finish flushes what is pending and gives every camera's final state at the time given.
TEST(Simulator, FinishGivesEveryCamerasFinalState) {
    Simulator sim(PelcoOptions());
    Feed(sim, Pelco(1, 0, 0x02, 0x3F, 0), SimTime(0));
    Feed(sim, Pelco(7, 0, 0, 0, 0), SimTime(0));
    Feed(sim, {0xFF, 0x07}, milliseconds(100));
    std::vector<Event> events;
    sim.Finish(milliseconds(1500), events);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].frame.kind, FrameKind::kMalformed);
    EXPECT_EQ(events[1].type, EventType::kFinal);
    EXPECT_EQ(events[1].camera->address, 1);
    EXPECT_DOUBLE_EQ(events[1].camera->state.pan_deg, 150.0);
    EXPECT_EQ(events[2].type, EventType::kFinal);
    EXPECT_EQ(events[2].camera->address, 7);
    EXPECT_EQ(events[2].time, milliseconds(1500));
}

}  // namespace
