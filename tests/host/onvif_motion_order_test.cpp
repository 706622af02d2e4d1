// The ONVIF motion keeper under many callers at once: the camera never gets two commands at the
// same time, every command fits the order in which the motion was decided (a renewal repeats the
// last speeds a caller sent, never a motion already stopped), and after the last Stop returns the
// camera hears nothing more.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "host/onvif/OnvifMotion.h"

using k47host::onvif::MotionKeeper;
using k47host::onvif::Velocity;
using namespace std::chrono_literals;

namespace {

thread_local bool t_caller = false;  // set on the test's threads; the keeper's own is not

struct Command {
    Velocity v;
    bool fromCaller;
};

TEST(OnvifMotionOrderTest, CallersAndRenewalsNeverOverlapNorReorder) {
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::mutex logLock;
    std::vector<Command> log;
    auto send = [&](const Velocity& v) {
        if (inside.fetch_add(1) != 0)
            overlaps.fetch_add(1);
        std::this_thread::sleep_for(50us);  // a command takes time on a real line
        {
            std::lock_guard<std::mutex> guard(logLock);
            log.push_back({v, t_caller});
        }
        inside.fetch_sub(1);
        return S_OK;
    };
    MotionKeeper keeper(send, 2ms);

    std::vector<std::thread> callers;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        callers.emplace_back([&keeper, seed] {
            t_caller = true;
            std::mt19937 random(seed);
            auto speed = [&] { return static_cast<int>(random() % 201) - 100; };
            for (int i = 0; i < 150; ++i) {
                switch (random() % 4) {
                    case 0:
                    case 1:
                        keeper.Move({speed(), speed(), speed()},
                                    std::chrono::milliseconds(random() % 25));
                        break;
                    case 2:
                        keeper.Stop(random() % 2 == 0, random() % 2 == 0);
                        break;
                    default:
                        (void)keeper.Current();
                        break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    t_caller = true;
    keeper.Stop();
    size_t sent;
    {
        std::lock_guard<std::mutex> guard(logLock);
        sent = log.size();
    }
    std::this_thread::sleep_for(100ms);  // fifty renewal beats
    EXPECT_FALSE(keeper.Moving());       // before logLock: the keeper's lock is taken before it

    std::lock_guard<std::mutex> guard(logLock);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(log.size(), sent) << "commands after the last Stop returned";
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().v.Zero());
    // Replay: what the keeper holds after each command, as the camera saw them.
    std::optional<Velocity> kept;
    size_t renewals = 0, timeOuts = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        const Command& c = log[i];
        if (c.fromCaller) {
            kept = c.v.Zero() ? std::nullopt : std::optional<Velocity>(c.v);
        } else if (c.v.Zero()) {
            ++timeOuts;
            EXPECT_TRUE(kept.has_value()) << "a time-out's stop with nothing moving, command " << i;
            kept.reset();
        } else {
            ++renewals;
            EXPECT_TRUE(kept.has_value()) << "a renewal after the stop, command " << i;
            EXPECT_EQ(c.v, kept.value_or(c.v)) << "a renewal of stale speeds, command " << i;
        }
    }
    // The run must have exercised both of the keeper's own commands.
    EXPECT_GT(renewals, 10u) << timeOuts << " time-outs";
    EXPECT_GT(timeOuts, 5u) << renewals << " renewals";
}

}  // namespace
