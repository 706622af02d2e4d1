// The ONVIF motion keeper against the clock: renewals on their beat, the stop at the client's
// time-out and never before, and the stop as the last command however the motion ends. The camera
// is a fake Send that stamps each command with steady_clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "host/onvif/OnvifMotion.h"

using k47host::onvif::MotionKeeper;
using k47host::onvif::Velocity;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// How late a command may be on a loaded 2-core machine.
constexpr auto kSlack = 150ms;

struct Sent {
    Clock::time_point at;
    Velocity v;
};

class FakeCamera {
  public:
    // fail(i): whether the i-th command (from 0) fails.
    explicit FakeCamera(std::function<bool(size_t)> fail = nullptr) : fail_(std::move(fail)) {}
    MotionKeeper::Send Send() {
        return [this](const Velocity& v) {
            std::lock_guard<std::mutex> guard(lock_);
            sent_.push_back({Clock::now(), v});
            return fail_ && fail_(sent_.size() - 1) ? E_FAIL : S_OK;
        };
    }
    std::vector<Sent> Log() {
        std::lock_guard<std::mutex> guard(lock_);
        return sent_;
    }

  private:
    std::function<bool(size_t)> fail_;
    std::mutex lock_;
    std::vector<Sent> sent_;
};

long long Ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// Expects `log` to be moves with `v` renewed every `beat` from log[0] and the stop at `timeout`
// after log[0], never earlier, and nothing else.
void ExpectRenewedThenStopped(const std::vector<Sent>& log, const Velocity& v,
                              std::chrono::milliseconds beat, std::chrono::milliseconds timeout) {
    const size_t moves = static_cast<size_t>((timeout - 1ms) / beat) + 1;
    ASSERT_EQ(log.size(), moves + 1);
    for (size_t i = 0; i < moves; ++i) {
        EXPECT_EQ(log[i].v, v) << "command " << i;
        EXPECT_GE(log[i].at - log[0].at, i * beat) << "command " << i;
        EXPECT_LE(log[i].at - log[0].at, i * beat + kSlack) << "command " << i;
    }
    EXPECT_TRUE(log.back().v.Zero());
    EXPECT_GE(log.back().at - log[0].at, timeout) << Ms(log.back().at - log[0].at) << " ms";
    EXPECT_LE(log.back().at - log[0].at, timeout + kSlack)
        << Ms(log.back().at - log[0].at) << " ms";
}

TEST(OnvifMotionTest, RenewsOnItsBeatAndStopsAtTheTimeOut) {
    FakeCamera camera;
    MotionKeeper keeper(camera.Send(), 200ms);
    const Velocity v{10, -20, 0};
    const Clock::time_point called = Clock::now();
    EXPECT_EQ(keeper.Move(v, 1000ms), S_OK);
    EXPECT_TRUE(keeper.Moving());
    EXPECT_EQ(keeper.Current(), v);
    ASSERT_FALSE(camera.Log().empty());
    EXPECT_LE(camera.Log()[0].at - called, 20ms);  // the first send is the caller's own
    std::this_thread::sleep_for(1000ms + kSlack + 250ms);
    // Sends at 0, 200, 400, 600 and 800 ms; the renewal due at 1000 ms gives way to the stop.
    ExpectRenewedThenStopped(camera.Log(), v, 200ms, 1000ms);
    EXPECT_FALSE(keeper.Moving());
    EXPECT_EQ(keeper.Current(), Velocity{});
}

TEST(OnvifMotionTest, StopEndsRenewalsAtOnceAndIsTheLastCommand) {
    FakeCamera camera;
    MotionKeeper keeper(camera.Send(), 100ms);
    keeper.Move({50, 0, 0}, 10s);
    std::this_thread::sleep_for(350ms);
    const Clock::time_point stopped = Clock::now();
    EXPECT_EQ(keeper.Stop(), S_OK);
    std::this_thread::sleep_for(400ms);
    std::vector<Sent> log = camera.Log();
    ASSERT_GE(log.size(), 4u);  // the move, its renewals, the stop
    EXPECT_TRUE(log.back().v.Zero());
    EXPECT_GE(log.back().at, stopped);
    EXPECT_LE(log.back().at - stopped, 20ms);
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const Sent& s) { return s.v.Zero(); }), 1);
    EXPECT_FALSE(keeper.Moving());
}

TEST(OnvifMotionTest, ANewMoveReplacesSpeedsAndDeadline) {
    FakeCamera camera;
    MotionKeeper keeper(camera.Send(), 100ms);
    keeper.Move({10, 10, 0}, 600ms);
    std::this_thread::sleep_for(400ms);
    const size_t before = camera.Log().size();
    const Velocity second{-30, 0, 5};
    keeper.Move(second, 600ms);
    std::this_thread::sleep_for(600ms + kSlack + 200ms);
    std::vector<Sent> log = camera.Log();
    auto replaced =
        std::find_if(log.begin(), log.end(), [&](const Sent& s) { return s.v == second; });
    ASSERT_NE(replaced, log.end());
    EXPECT_GE(replaced - log.begin(), static_cast<long>(before));
    // The first motion's deadline (600 ms) passed with no stop: only the second one's counts.
    for (auto it = log.begin(); it != replaced; ++it)
        EXPECT_EQ(it->v, (Velocity{10, 10, 0}));
    ExpectRenewedThenStopped(std::vector<Sent>(replaced, log.end()), second, 100ms, 600ms);
}

TEST(OnvifMotionTest, StoppingPanTiltKeepsZoomRenewedUntilTheSameDeadline) {
    FakeCamera camera;
    MotionKeeper keeper(camera.Send(), 100ms);
    keeper.Move({30, 30, 40}, 800ms);
    const Clock::time_point started = camera.Log()[0].at;
    std::this_thread::sleep_for(250ms);
    const size_t before = camera.Log().size();
    EXPECT_EQ(keeper.Stop(true, false), S_OK);
    EXPECT_TRUE(keeper.Moving());
    EXPECT_EQ(keeper.Current(), (Velocity{0, 0, 40}));
    std::this_thread::sleep_for(550ms + kSlack + 200ms);
    std::vector<Sent> log = camera.Log();
    auto zoomOnly =
        std::find_if(log.begin(), log.end(), [](const Sent& s) { return s.v.pan == 0; });
    ASSERT_NE(zoomOnly, log.end());
    EXPECT_GE(zoomOnly - log.begin(), static_cast<long>(before));
    EXPECT_GE(log.end() - zoomOnly, 5);  // the partial stop, renewals every 100 ms, the stop
    for (auto it = zoomOnly; it + 1 != log.end(); ++it)
        EXPECT_EQ(it->v, (Velocity{0, 0, 40}));
    EXPECT_TRUE(log.back().v.Zero());
    EXPECT_GE(log.back().at - started, 800ms);  // not pushed out by the partial stop
    EXPECT_LE(log.back().at - started, 800ms + kSlack);
}

TEST(OnvifMotionTest, DestructionStopsARunningMotionAndNothingElse) {
    FakeCamera camera;
    { MotionKeeper idle(camera.Send(), 50ms); }
    EXPECT_TRUE(camera.Log().empty());  // an idle keeper sends no stop of its own
    {
        MotionKeeper keeper(camera.Send(), 50ms);
        keeper.Move({0, 70, 0}, 10s);
        std::this_thread::sleep_for(180ms);
    }
    std::vector<Sent> log = camera.Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_TRUE(log.back().v.Zero());
    EXPECT_FALSE(log[log.size() - 2].v.Zero());
}

TEST(OnvifMotionTest, FailedSendsNeitherKeepNorEndAMotionWrongly) {
    // Renewals fail: the motion goes on and its deadline's stop still goes out.
    FakeCamera renewalsFail([](size_t i) { return i > 0; });
    {
        MotionKeeper keeper(renewalsFail.Send(), 100ms);
        EXPECT_EQ(keeper.Move({5, 5, 5}, 500ms), S_OK);
        std::this_thread::sleep_for(500ms + kSlack + 200ms);
        ExpectRenewedThenStopped(renewalsFail.Log(), {5, 5, 5}, 100ms, 500ms);
    }
    // The first send fails: nothing is kept, and no stop is made up either.
    FakeCamera firstFails([](size_t i) { return i == 0; });
    MotionKeeper keeper(firstFails.Send(), 50ms);
    EXPECT_EQ(keeper.Move({5, 0, 0}, 200ms), E_FAIL);
    EXPECT_FALSE(keeper.Moving());
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(firstFails.Log().size(), 1u);
}

}  // namespace
