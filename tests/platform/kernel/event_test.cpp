// Events: auto-reset (one waiter per SetEvent, no counting) and manual-reset (stays set, wakes
// every waiter) across threads; ResetEvent; type and name checks.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "handle_test_util.h"

using namespace k47test;

// Single-thread state rules: initial state, no counting, reset, and what a wait consumes.
TEST(Event, StateRules) {
    struct Case {
        const char* name;
        bool manual;
        bool initial;
        int sets;                         // SetEvent calls before the waits
        bool reset;                       // ResetEvent after the sets
        std::vector<DWORD> wait_results;  // successive WaitForSingleObject(e, 0)
    };
    const std::vector<Case> cases = {
        {"auto, created set", false, true, 0, false, {WAIT_OBJECT_0, WAIT_TIMEOUT}},
        {"auto, created unset", false, false, 0, false, {WAIT_TIMEOUT}},
        {"auto, set twice does not count", false, false, 2, false, {WAIT_OBJECT_0, WAIT_TIMEOUT}},
        {"auto, set then reset", false, false, 1, true, {WAIT_TIMEOUT}},
        {"manual, created set", true, true, 0, false, {WAIT_OBJECT_0, WAIT_OBJECT_0}},
        {"manual, set stays set",
         true,
         false,
         1,
         false,
         {WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0}},
        {"manual, set then reset", true, false, 3, true, {WAIT_TIMEOUT}},
        {"manual, reset of a reset event", true, false, 0, true, {WAIT_TIMEOUT}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueHandle e = MakeEvent(c.manual, c.initial);
        ASSERT_TRUE(e.get());
        for (int i = 0; i < c.sets; ++i) {
            EXPECT_TRUE(SetEvent(e.get()));
        }
        if (c.reset) {
            EXPECT_TRUE(ResetEvent(e.get()));
        }
        for (DWORD expected : c.wait_results) {
            EXPECT_EQ(WaitForSingleObject(e.get(), 0), expected);
        }
    }
}

// N threads blocked on one auto-reset event: each SetEvent releases exactly one of them.
TEST(Event, AutoResetReleasesOneWaiterPerSet) {
    constexpr int kWaiters = 4;
    UniqueHandle ev = MakeEvent(false);
    UniqueHandle woke_signal = MakeEvent(false);
    std::atomic<int> woke{0};
    std::vector<std::unique_ptr<TestThread>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(std::make_unique<TestThread>([&] {
            DWORD r = WaitForSingleObject(ev.get(), 30000);
            ++woke;
            SetEvent(woke_signal.get());
            return r;
        }));
    }
    for (auto& w : waiters) {
        ASSERT_TRUE(WaitUntilBlockedInPoll(w->id()));
    }
    for (int round = 1; round <= kWaiters; ++round) {
        ASSERT_TRUE(SetEvent(ev.get()));
        ASSERT_EQ(WaitForSingleObject(woke_signal.get(), 10000), WAIT_OBJECT_0);
        // Give a wrongly released second waiter time to show up.
        EXPECT_EQ(WaitForSingleObject(woke_signal.get(), 150), WAIT_TIMEOUT);
        EXPECT_EQ(woke.load(), round);
        // The released waiter consumed the signal.
        EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_TIMEOUT);
    }
    for (auto& w : waiters) {
        ASSERT_TRUE(w->Join());
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(w->handle(), &code));
        EXPECT_EQ(code, WAIT_OBJECT_0);
    }
}

// One SetEvent on a manual-reset event releases every blocked waiter, and later waits succeed
// at once until ResetEvent.
TEST(Event, ManualResetReleasesAllWaiters) {
    constexpr int kWaiters = 4;
    UniqueHandle ev = MakeEvent(true);
    std::vector<std::unique_ptr<TestThread>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(
            std::make_unique<TestThread>([&] { return WaitForSingleObject(ev.get(), 30000); }));
    }
    for (auto& w : waiters) {
        ASSERT_TRUE(WaitUntilBlockedInPoll(w->id()));
    }
    ASSERT_TRUE(SetEvent(ev.get()));
    for (auto& w : waiters) {
        ASSERT_TRUE(w->Join(10000));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(w->handle(), &code));
        EXPECT_EQ(code, WAIT_OBJECT_0);
    }
    TestThread late([&] { return WaitForSingleObject(ev.get(), 0); });
    ASSERT_TRUE(late.Join());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(late.handle(), &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(ev.get()));
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_TIMEOUT);
}
