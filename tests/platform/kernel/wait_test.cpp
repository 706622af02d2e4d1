// WaitForSingleObject / WaitForMultipleObjects: index and consumption rules, time-outs, parameter
// checks, wait-all, closing a handle under a wait, signals during a wait, and a consumption
// stress test.
#include <windows.h>

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "handle_test_util.h"

using namespace k47test;

namespace {

DWORD WINAPI ReturnSeven(LPVOID) {
    return 7;
}

UniqueHandle FinishedThread() {
    UniqueHandle t(CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, nullptr));
    EXPECT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
    return t;
}

// A signalled object of one kind, and whether a satisfied wait consumes it.
struct SignalledKind {
    const char* name;
    std::function<UniqueHandle()> make;
    DWORD second_wait;  // result of a second wait on {unset, A, unset, B} after the first took A
};

std::vector<SignalledKind> Kinds() {
    return {
        {"auto-reset event", [] { return MakeEvent(false, true); }, 3},
        {"manual-reset event", [] { return MakeEvent(true, true); }, 1},
        {"synchronisation timer",
         [] {
             UniqueHandle t = MakeTimer(false);
             EXPECT_TRUE(ArmTimer(t.get(), 0));
             return t;
         },
         3},
        {"notification timer",
         [] {
             UniqueHandle t = MakeTimer(true);
             EXPECT_TRUE(ArmTimer(t.get(), 0));
             return t;
         },
         1},
        // The first wait makes the caller the owner; an owner's wait is satisfied again.
        {"mutex", [] { return UniqueHandle(CreateMutexW(nullptr, FALSE, nullptr)); }, 1},
        {"finished thread", FinishedThread, 1},
    };
}

}  // namespace

// Signal [3] and [1]: the wait returns 1 and consumes only [1]; a second wait then returns 3
// for consumable kinds and 1 again for kinds that a wait leaves signalled.
TEST(WaitAny, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    for (const auto& kind : Kinds()) {
        SCOPED_TRACE(kind.name);
        UniqueHandle unset0 = MakeEvent(false);
        UniqueHandle a = kind.make();
        UniqueHandle unset2 = MakeEvent(true);
        UniqueHandle b = kind.make();
        HANDLE set[] = {unset0.get(), a.get(), unset2.get(), b.get()};
        EXPECT_EQ(WaitForMultipleObjects(4, set, FALSE, 0), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(WaitForMultipleObjects(4, set, FALSE, 0), WAIT_OBJECT_0 + kind.second_wait);
        // The unsignalled ones were not touched either way.
        EXPECT_EQ(WaitForSingleObject(unset0.get(), 0), WAIT_TIMEOUT);
        EXPECT_EQ(WaitForSingleObject(unset2.get(), 0), WAIT_TIMEOUT);
    }
}

TEST(WaitAny, TimeoutZeroPollsAndInfiniteWaitsForTheSignal) {
    UniqueHandle e0 = MakeEvent(false);
    UniqueHandle e1 = MakeEvent(false);
    HANDLE set[] = {e0.get(), e1.get()};
    Stopwatch poll;
    EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 0), WAIT_TIMEOUT);
    EXPECT_LT(poll.ElapsedMs(), 500.0);

    DWORD main_tid = GetCurrentThreadId();
    TestThread signaller([&] {
        EXPECT_TRUE(WaitUntilBlockedInPoll(main_tid));
        SetEvent(e1.get());
        return 0u;
    });
    EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(e1.get(), 0), WAIT_TIMEOUT);  // auto-reset: consumed
}

TEST(WaitAll, ConsumesNothingUntilEveryObjectIsSignalledThenAll) {
    UniqueHandle a = MakeEvent(false, true);
    UniqueHandle b = MakeEvent(false);
    UniqueHandle manual = MakeEvent(true, true);
    UniqueHandle timer = MakeTimer(false);
    ASSERT_TRUE(ArmTimer(timer.get(), 0));
    HANDLE set[] = {a.get(), manual.get(), timer.get(), b.get()};

    EXPECT_EQ(WaitForMultipleObjects(4, set, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(4, set, TRUE, 50), WAIT_TIMEOUT);
    // Nothing consumed by the failed waits.
    HANDLE a_and_timer[] = {a.get(), timer.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, a_and_timer, TRUE, 0), WAIT_OBJECT_0);
    SetEvent(a.get());
    ASSERT_TRUE(ArmTimer(timer.get(), 0));

    DWORD main_tid = GetCurrentThreadId();
    TestThread signaller([&] {
        EXPECT_TRUE(WaitUntilBlockedInPoll(main_tid));
        SetEvent(b.get());
        return 0u;
    });
    EXPECT_EQ(WaitForMultipleObjects(4, set, TRUE, 10000), WAIT_OBJECT_0);
    // Auto-reset objects consumed, the manual event left set.
    EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(timer.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
}

TEST(WaitAll, AbandonedMutexIsReportedByItsIndex) {
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
    UniqueHandle ev = MakeEvent(true, true);
    TestThread owner([&] { return WaitForSingleObject(mutex.get(), 0); });
    ASSERT_TRUE(owner.Join());
    HANDLE set[] = {ev.get(), mutex.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 0), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

// Closing a handle that another thread waits on does not crash: the wait keeps the object alive
// and goes on until another object of its set is signalled.
TEST(WaitAny, CloseHandleUnderAWait) {
    UniqueHandle doomed = MakeEvent(false);
    UniqueHandle wake = MakeEvent(false);
    HANDLE set[] = {doomed.get(), wake.get()};
    std::atomic<DWORD> result{0};
    TestThread waiter([&] {
        result = WaitForMultipleObjects(2, set, FALSE, 30000);
        return 0u;
    });
    ASSERT_TRUE(WaitUntilBlockedInPoll(waiter.id()));
    HANDLE value = doomed.release();
    EXPECT_TRUE(CloseHandle(value));
    EXPECT_EQ(WaitForSingleObject(waiter.handle(), 100), WAIT_TIMEOUT);  // still waiting
    SetEvent(wake.get());
    ASSERT_TRUE(waiter.Join());
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    // The closed value names nothing now, even though new objects were created since.
    UniqueHandle fresh = MakeEvent(true);
    EXPECT_NE(fresh.get(), value);
    EXPECT_EQ(SetEvent(value), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Several consumers wait on {stop, e1..eN}; each producer sets its event only after the previous
// signal was taken (auto-reset events do not count). Every signal must be consumed exactly once:
// a double consumption overshoots the count, a lost one stalls its producer.
TEST(WaitAny, StressEverySignalIsConsumedExactlyOnce) {
    constexpr int kProducers = 3;
    constexpr int kConsumers = 4;
    constexpr int kSignals = 2000;
    UniqueHandle stop = MakeEvent(true);
    std::vector<UniqueHandle> events;
    std::vector<UniqueHandle> acks;
    std::vector<HANDLE> set = {stop.get()};
    for (int p = 0; p < kProducers; ++p) {
        events.push_back(MakeEvent(false));
        acks.push_back(MakeEvent(false));
        set.push_back(events.back().get());
    }
    std::atomic<int> consumed[kProducers] = {};
    std::atomic<int> bad_results{0};
    std::vector<std::unique_ptr<TestThread>> consumers;
    for (int c = 0; c < kConsumers; ++c) {
        consumers.push_back(std::make_unique<TestThread>([&] {
            for (;;) {
                DWORD r = WaitForMultipleObjects(static_cast<DWORD>(set.size()), set.data(), FALSE,
                                                 INFINITE);
                if (r == WAIT_OBJECT_0) {
                    return 0u;
                }
                DWORD p = r - WAIT_OBJECT_0 - 1;
                if (p >= kProducers) {
                    ++bad_results;
                    return 1u;
                }
                ++consumed[p];
                SetEvent(acks[p].get());
            }
        }));
    }
    std::atomic<int> stalls{0};
    std::vector<std::unique_ptr<TestThread>> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.push_back(std::make_unique<TestThread>([&, p] {
            for (int i = 0; i < kSignals; ++i) {
                SetEvent(events[p].get());
                if (WaitForSingleObject(acks[p].get(), 10000) != WAIT_OBJECT_0) {
                    ++stalls;
                    return 1u;
                }
            }
            return 0u;
        }));
    }
    for (auto& p : producers) {
        ASSERT_TRUE(p->Join(120000));
    }
    SetEvent(stop.get());
    for (auto& c : consumers) {
        ASSERT_TRUE(c->Join());
    }
    EXPECT_EQ(stalls.load(), 0);
    EXPECT_EQ(bad_results.load(), 0);
    for (int p = 0; p < kProducers; ++p) {
        EXPECT_EQ(consumed[p].load(), kSignals) << "producer " << p;
    }
}
