// Critical sections: recursion, TryEnterCriticalSection for owner and others, mutual exclusion
// under contention with and without a spin count.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "handle_test_util.h"

using namespace k47test;

namespace {

// TryEnterCriticalSection from a fresh thread; leaves again if it got in.
BOOL TryFromOtherThread(CRITICAL_SECTION* cs) {
    TestThread t([cs] {
        BOOL got = TryEnterCriticalSection(cs);
        if (got) {
            LeaveCriticalSection(cs);
        }
        return static_cast<DWORD>(got);
    });
    EXPECT_TRUE(t.Join());
    DWORD code = 2;
    EXPECT_TRUE(GetExitCodeThread(t.handle(), &code));
    return static_cast<BOOL>(code);
}

}  // namespace

TEST(CriticalSection, RecursionAndTryEnter) {
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
    EXPECT_TRUE(TryFromOtherThread(&cs));
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));  // the owner gets in again (count 3)
    EXPECT_FALSE(TryFromOtherThread(&cs));
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(TryFromOtherThread(&cs));  // one entry left
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(TryFromOtherThread(&cs));
    DeleteCriticalSection(&cs);
}

// A thread blocked in EnterCriticalSection gets in when the owner leaves its last entry.
TEST(CriticalSection, BlockedEnterProceedsAfterTheLastLeave) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    UniqueHandle entered = MakeEvent(true);
    TestThread other([&] {
        EnterCriticalSection(&cs);
        SetEvent(entered.get());
        LeaveCriticalSection(&cs);
        return 0u;
    });
    LeaveCriticalSection(&cs);
    EXPECT_EQ(WaitForSingleObject(entered.get(), 100), WAIT_TIMEOUT);
    LeaveCriticalSection(&cs);
    EXPECT_EQ(WaitForSingleObject(entered.get(), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(other.Join());
    DeleteCriticalSection(&cs);
}

// Contended increments of a plain counter stay exact (ThreadSanitizer checks the ordering too),
// for the spin counts the system uses and none.
TEST(CriticalSection, MutualExclusionUnderContention) {
    for (DWORD spin : {0u, 4000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(spin);
        CRITICAL_SECTION cs;
        ASSERT_TRUE(InitializeCriticalSectionEx(&cs, spin, 0));
        constexpr int kThreads = 4;
        constexpr int kRounds = 20000;
        long counter = 0;
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.push_back(std::make_unique<TestThread>([&] {
                for (int r = 0; r < kRounds; ++r) {
                    EnterCriticalSection(&cs);
                    EnterCriticalSection(&cs);
                    ++counter;
                    LeaveCriticalSection(&cs);
                    LeaveCriticalSection(&cs);
                }
                return 0u;
            }));
        }
        for (auto& t : threads) {
            ASSERT_TRUE(t->Join(120000));
        }
        EXPECT_EQ(counter, kThreads * kRounds);
        DeleteCriticalSection(&cs);
    }
}
