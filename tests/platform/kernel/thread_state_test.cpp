// Per-thread state: the last error and the thread locale belong to each thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "handle_test_util.h"

using namespace k47test;

TEST(ThreadState, LastErrorIsPerThread) {
    SetLastError(1234);
    TestThread other([] {
        DWORD initial = GetLastError();
        SetLastError(ERROR_NOT_OWNER);
        return initial;
    });
    ASSERT_TRUE(other.Join());
    DWORD initial = 99;
    EXPECT_TRUE(GetExitCodeThread(other.handle(), &initial));
    EXPECT_EQ(initial, 0u);  // a new thread starts clean
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(ThreadState, ThreadLocaleIsPerThreadAndStartsAtTheUserDefault) {
    EXPECT_EQ(GetUserDefaultLCID(), 0x0409u);
    EXPECT_EQ(GetSystemDefaultLCID(), 0x0409u);
    struct Case {
        LCID set;
        BOOL ok;
        LCID read_back;
    };
    const std::vector<Case> cases = {
        {0x0407, TRUE, 0x0407},                 // de-DE
        {0x040C, TRUE, 0x040C},                 // fr-FR
        {LOCALE_SYSTEM_DEFAULT, TRUE, 0x0409},  // resolved to the concrete locale
        {0x0411, TRUE, 0x0411},                 // ja-JP
        {LOCALE_USER_DEFAULT, TRUE, 0x0409},
        {0x00010407, TRUE, 0x00010407},  // de-DE with phone-book sort
        {LOCALE_INVARIANT, TRUE, LOCALE_INVARIANT},
        {0, FALSE, LOCALE_INVARIANT},           // neutral: rejected, unchanged
        {0x00100409, FALSE, LOCALE_INVARIANT},  // reserved bits: rejected
    };
    TestThread other([&] {
        for (const auto& c : cases) {
            SetLastError(0);
            if (SetThreadLocale(c.set) != c.ok || GetThreadLocale() != c.read_back) {
                return c.set + 1;
            }
            if (!c.ok && GetLastError() != ERROR_INVALID_PARAMETER) {
                return c.set + 1;
            }
        }
        SetThreadLocale(0x0407);
        return 0u;
    });
    ASSERT_TRUE(other.Join());
    DWORD failed_case = 1;
    EXPECT_TRUE(GetExitCodeThread(other.handle(), &failed_case));
    EXPECT_EQ(failed_case, 0u) << "first failing LCID + 1";
    // The other thread's changes did not reach this one.
    EXPECT_EQ(GetThreadLocale(), 0x0409u);
    TestThread fresh([] { return static_cast<DWORD>(GetThreadLocale()); });
    ASSERT_TRUE(fresh.Join());
    DWORD lcid = 0;
    EXPECT_TRUE(GetExitCodeThread(fresh.handle(), &lcid));
    EXPECT_EQ(lcid, 0x0409u);
}
