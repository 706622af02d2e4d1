// Waitable timers: relative, zero and absolute due times, periods, missed periods collapsing,
// CancelWaitableTimer keeping the signalled state, re-arming resetting it, parameter checks.
// Timing bounds are generous (a loaded 2-core machine); lower bounds are exact because timers
// never fire early.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "handle_test_util.h"

using namespace k47test;

namespace {

// Now as a FILETIME count (100 ns since 1601) plus an offset in ms.
LONGLONG FileTimeNowPlusMs(LONGLONG ms) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER now;
    now.LowPart = ft.dwLowDateTime;
    now.HighPart = ft.dwHighDateTime;
    return static_cast<LONGLONG>(now.QuadPart) + ms * 10000;
}

BOOL ArmAbsolute(HANDLE timer, LONGLONG filetime, LONG period_ms = 0) {
    LARGE_INTEGER due;
    due.QuadPart = filetime;
    return SetWaitableTimer(timer, &due, period_ms, nullptr, nullptr, FALSE);
}

}  // namespace

// One-shot due times: relative (negative), zero (signalled at once), absolute FILETIME in the
// future and in the past. Each fires no earlier than asked and within a generous bound.
TEST(WaitableTimer, DueTimes) {
    enum Due { kRelative, kFromNow, kRawFileTime };
    struct Case {
        const char* name;
        Due kind;
        LONGLONG value;    // kRelative: due in ms (negative); kFromNow: ms from now; else FILETIME
        double min_ms;     // earliest allowed firing, from the SetWaitableTimer call
        bool immediately;  // signalled before SetWaitableTimer returns
    };
    const std::vector<Case> cases = {
        {"relative 1 ms", kRelative, -1, 0.9, false},
        {"relative 300 ms", kRelative, -300, 299.0, false},
        {"zero", kRelative, 0, 0, true},
        {"absolute in 300 ms", kFromNow, 300, 298.0, false},
        {"absolute 1 s ago", kFromNow, -1000, 0, true},
        {"absolute 1601-01-01 00:00:00.0000001", kRawFileTime, 1, 0, true},
    };
    for (bool manual : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (manual ? ", manual" : ", synchronisation"));
            UniqueHandle t = MakeTimer(manual);
            Stopwatch watch;
            BOOL armed = c.kind == kRelative  ? ArmTimer(t.get(), c.value)
                         : c.kind == kFromNow ? ArmAbsolute(t.get(), FileTimeNowPlusMs(c.value))
                                              : ArmAbsolute(t.get(), c.value);
            ASSERT_TRUE(armed);
            if (c.immediately) {
                EXPECT_EQ(WaitForSingleObject(t.get(), 0), WAIT_OBJECT_0);
            } else {
                ASSERT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
                EXPECT_GE(watch.ElapsedMs(), c.min_ms);
                EXPECT_LT(watch.ElapsedMs(), c.min_ms + 1500.0);
            }
            // A notification timer stays signalled; a synchronisation timer was consumed.
            EXPECT_EQ(WaitForSingleObject(t.get(), 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        }
    }
}

// A periodic synchronisation timer releases one wait per period; the ticks keep to the grid of
// the first due time instead of drifting with the waiter.
TEST(WaitableTimer, PeriodicTicksWithoutDrift) {
    constexpr int kTicks = 10;
    constexpr LONG kPeriod = 50;
    UniqueHandle t = MakeTimer(false);
    Stopwatch watch;
    ASSERT_TRUE(ArmTimer(t.get(), -kPeriod, kPeriod));
    for (int i = 1; i <= kTicks; ++i) {
        ASSERT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0) << "tick " << i;
        EXPECT_GE(watch.ElapsedMs(), i * kPeriod - 1.0) << "tick " << i;
    }
    // Ten periods, plus tolerance for a loaded machine but well under what per-tick drift of a
    // re-armed-by-the-waiter timer would add up to under load.
    EXPECT_LT(watch.ElapsedMs(), kTicks * kPeriod + 1000.0);
    ASSERT_TRUE(CancelWaitableTimer(t.get()));
}

// Expiries while nobody waits do not queue: several missed periods collapse into one signal,
// and the wait after it blocks until the next boundary of the original grid (not one period
// after the consumption). The stopwatch starts before arming, so tick k is due at k * period or
// later; a run slowed so much that the checks could straddle a boundary is retried.
TEST(WaitableTimer, MissedPeriodsCollapseIntoOneSignal) {
    constexpr LONG kPeriod = 400;
    UniqueHandle t = MakeTimer(false);
    UniqueHandle never = MakeEvent(true);
    bool checked = false;
    for (int attempt = 0; attempt < 3 && !checked; ++attempt) {
        Stopwatch since_arm;
        ASSERT_TRUE(ArmTimer(t.get(), -kPeriod, kPeriod));
        ASSERT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);  // tick 1
        // Ticks 2 and 3 pass unobserved; this wait is only the observation window.
        double window = 3.5 * kPeriod - since_arm.ElapsedMs();
        if (window > 0) {
            EXPECT_EQ(WaitForSingleObject(never.get(), static_cast<DWORD>(window)), WAIT_TIMEOUT);
        }
        double before = since_arm.ElapsedMs();
        DWORD first = WaitForSingleObject(t.get(), 0);
        DWORD second = WaitForSingleObject(t.get(), 0);
        double after = since_arm.ElapsedMs();
        if (before < 3 * kPeriod || after >= 4 * kPeriod - 5) {
            continue;  // too slow (or too early) to tell; retry
        }
        EXPECT_EQ(first, WAIT_OBJECT_0);
        EXPECT_EQ(second, WAIT_TIMEOUT);
        ASSERT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);  // tick 4
        double at = since_arm.ElapsedMs();
        EXPECT_GE(at, 4 * kPeriod);
        if (at >= 4.4 * kPeriod) {
            continue;  // woken very late; a drifting timer would land here too, so retry
        }
        checked = true;
    }
    EXPECT_TRUE(checked) << "never got a run quiet enough to check";
    ASSERT_TRUE(CancelWaitableTimer(t.get()));
}

// CancelWaitableTimer stops the timer but leaves a signalled timer signalled (timerfd itself
// would clear it); an armed timer that has not fired stays non-signalled after the cancel.
TEST(WaitableTimer, CancelKeepsTheSignalledState) {
    struct Case {
        const char* name;
        bool manual;
        LONGLONG due_ms;
        LONG period;
        bool fire_first;                  // wait for the expiry (without consuming) first
        std::vector<DWORD> after_cancel;  // successive WaitForSingleObject(t, 0)
    };
    const std::vector<Case> cases = {
        {"manual, fired", true, -20, 0, true, {WAIT_OBJECT_0, WAIT_OBJECT_0}},
        {"manual, due at once", true, 0, 0, false, {WAIT_OBJECT_0, WAIT_OBJECT_0}},
        {"manual periodic, fired", true, -20, 30, true, {WAIT_OBJECT_0, WAIT_OBJECT_0}},
        {"sync, fired not consumed", false, -20, 0, true, {WAIT_OBJECT_0, WAIT_TIMEOUT}},
        {"sync, due at once", false, 0, 0, false, {WAIT_OBJECT_0, WAIT_TIMEOUT}},
        {"manual, not yet due", true, -60000, 0, false, {WAIT_TIMEOUT}},
        {"sync, not yet due", false, -60000, 0, false, {WAIT_TIMEOUT}},
        {"sync periodic, not yet due", false, -60000, 10, false, {WAIT_TIMEOUT}},
    };
    UniqueHandle never = MakeEvent(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueHandle t = MakeTimer(c.manual);
        ASSERT_TRUE(ArmTimer(t.get(), c.due_ms, c.period));
        if (c.fire_first) {
            // Observe the expiry through a manual timer of the same due time, so that the timer
            // under test is not consumed.
            UniqueHandle probe = MakeTimer(true);
            ASSERT_TRUE(ArmTimer(probe.get(), c.due_ms));
            ASSERT_EQ(WaitForSingleObject(probe.get(), 10000), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(never.get(), 20), WAIT_TIMEOUT);
        }
        ASSERT_TRUE(CancelWaitableTimer(t.get()));
        for (DWORD expected : c.after_cancel) {
            EXPECT_EQ(WaitForSingleObject(t.get(), 0), expected);
        }
        // Cancelled: nothing more fires.
        if (!c.manual) {
            EXPECT_EQ(WaitForSingleObject(t.get(), 120), WAIT_TIMEOUT);
        }
    }
}

// SetWaitableTimer on a signalled timer makes it non-signalled; on an active timer it replaces
// the due time.
TEST(WaitableTimer, RearmResetsTheState) {
    for (bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "manual" : "synchronisation");
        UniqueHandle t = MakeTimer(manual);
        ASSERT_TRUE(ArmTimer(t.get(), 0));
        ASSERT_TRUE(ArmTimer(t.get(), -60000));
        EXPECT_EQ(WaitForSingleObject(t.get(), 0), WAIT_TIMEOUT);

        // Signalled by a cancel-latched expiry, then re-armed: non-signalled again.
        ASSERT_TRUE(ArmTimer(t.get(), 0));
        ASSERT_TRUE(CancelWaitableTimer(t.get()));
        ASSERT_TRUE(ArmTimer(t.get(), -60000));
        EXPECT_EQ(WaitForSingleObject(t.get(), 0), WAIT_TIMEOUT);

        // Active with a short due time, re-armed with a long one: the short one never fires.
        ASSERT_TRUE(ArmTimer(t.get(), -100));
        ASSERT_TRUE(ArmTimer(t.get(), -60000));
        EXPECT_EQ(WaitForSingleObject(t.get(), 400), WAIT_TIMEOUT);

        // Switching from an absolute due time to a relative one and back.
        ASSERT_TRUE(ArmAbsolute(t.get(), FileTimeNowPlusMs(60000)));
        ASSERT_TRUE(ArmTimer(t.get(), -30));
        EXPECT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
        ASSERT_TRUE(ArmTimer(t.get(), -60000));
        ASSERT_TRUE(ArmAbsolute(t.get(), FileTimeNowPlusMs(30)));
        EXPECT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
    }
}

// A thread already waiting when the timer gets its first absolute due time is woken at that time:
// the descriptor for absolute times is made then, after the waiter collected its poll set.
TEST(WaitableTimer, AWaiterFromBeforeTheFirstAbsoluteDueTimeWakesAtIt) {
    UniqueHandle t = MakeTimer(false);
    Stopwatch watch;
    std::atomic<DWORD> result{WAIT_FAILED};
    std::atomic<double> wokeMs{0};
    std::thread waiter([&] {
        result = WaitForSingleObject(t.get(), 5000);
        wokeMs = watch.ElapsedMs();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // blocked in its wait by now
    const double armedMs = watch.ElapsedMs();
    ASSERT_TRUE(ArmAbsolute(t.get(), FileTimeNowPlusMs(200)));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_GE(wokeMs.load(), armedMs + 198.0);
    EXPECT_LT(wokeMs.load(), armedMs + 1200.0);
}
