// Mutexes: recursive ownership, release by a non-owner (ERROR_NOT_OWNER), abandonment when the
// owner ends without releasing (by CreateThread threads and by other threads).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "handle_test_util.h"

using namespace k47test;

namespace {

// Result of WaitForSingleObject(h, ms) on a fresh thread (which then ends: an acquisition there
// would abandon the mutex, so callers use it only where the wait must fail).
DWORD WaitFromOtherThread(HANDLE h, DWORD ms) {
    TestThread t([h, ms] { return WaitForSingleObject(h, ms); });
    EXPECT_TRUE(t.Join());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t.handle(), &code));
    return code;
}

}  // namespace

// Acquire 3x (creation + 2 waits), release 2x: still owned; the 3rd release frees it for a
// thread that was blocked on it.
TEST(Mutex, RecursiveOwnership) {
    UniqueHandle m(CreateMutexW(nullptr, TRUE, nullptr));
    ASSERT_TRUE(m.get());
    EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m.get(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitFromOtherThread(m.get(), 0), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m.get()));
    EXPECT_TRUE(ReleaseMutex(m.get()));
    EXPECT_EQ(WaitFromOtherThread(m.get(), 30), WAIT_TIMEOUT);

    UniqueHandle taken = MakeEvent(true);
    UniqueHandle done = MakeEvent(true);
    TestThread other([&] {
        DWORD r = WaitForSingleObject(m.get(), 30000);
        SetEvent(taken.get());
        WaitForSingleObject(done.get(), 30000);
        ReleaseMutex(m.get());
        return r;
    });
    ASSERT_TRUE(WaitUntilBlockedInPoll(other.id()));
    EXPECT_TRUE(ReleaseMutex(m.get()));
    ASSERT_EQ(WaitForSingleObject(taken.get(), 10000), WAIT_OBJECT_0);
    // Now the other thread owns it; ours times out.
    EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_TIMEOUT);
    SetEvent(done.get());
    ASSERT_TRUE(other.Join());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(other.handle(), &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);  // released normally: not abandoned
    EXPECT_TRUE(ReleaseMutex(m.get()));
}

TEST(Mutex, ReleaseByANonOwnerFails) {
    UniqueHandle m(CreateMutexW(nullptr, TRUE, nullptr));
    TestThread foreign([&] {
        SetLastError(0);
        BOOL ok = ReleaseMutex(m.get());
        return ok ? 0u : GetLastError();
    });
    ASSERT_TRUE(foreign.Join());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(foreign.handle(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_OWNER));
    // The owner is unaffected, and releasing once too often fails the same way.
    EXPECT_EQ(WaitFromOtherThread(m.get(), 0), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m.get()));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    // Unowned mutex released by anyone: same error. Wrong handle type: bad handle.
    UniqueHandle free_mutex(CreateMutexW(nullptr, FALSE, nullptr));
    EXPECT_FALSE(ReleaseMutex(free_mutex.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    UniqueHandle ev = MakeEvent(true);
    EXPECT_FALSE(ReleaseMutex(ev.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// The owner ends without releasing: the next wait returns WAIT_ABANDONED (WAIT_ABANDONED_0 + i
// from a multiple wait) and owns the mutex; after a normal release it is an ordinary mutex again.
TEST(Mutex, AbandonedWhenTheOwnerEnds) {
    UniqueHandle m(CreateMutexW(nullptr, FALSE, nullptr));
    UniqueHandle unset = MakeEvent(false);
    HANDLE set[] = {unset.get(), m.get()};

    struct Case {
        const char* name;
        bool block_first;  // the main thread is already blocked on the mutex when the owner ends
        bool std_thread;   // the owner is not a CreateThread thread
        bool owns_twice;   // the owner holds it recursively
    };
    const Case cases[] = {
        {"CreateThread owner, wait after exit", false, false, false},
        {"CreateThread owner, recursive", false, false, true},
        {"CreateThread owner, waiter blocked", true, false, false},
        {"std::thread owner", false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueHandle go = MakeEvent(true);
        auto owner_body = [&] {
            EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
            if (c.owns_twice) {
                EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
            }
            if (c.block_first) {
                WaitForSingleObject(go.get(), 30000);
            }
        };
        if (c.std_thread) {
            std::thread t(owner_body);
            t.join();
            EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 10000), WAIT_ABANDONED_0 + 1);
        } else if (c.block_first) {
            std::atomic<DWORD> result{0};
            DWORD main_tid = GetCurrentThreadId();
            TestThread owner([&] {
                owner_body();
                return 0u;
            });
            TestThread releaser([&] {
                EXPECT_TRUE(WaitUntilBlockedInPoll(owner.id()));
                EXPECT_TRUE(WaitUntilBlockedInPoll(main_tid));
                SetEvent(go.get());
                return 0u;
            });
            result = WaitForMultipleObjects(2, set, FALSE, 10000);
            EXPECT_EQ(result.load(), WAIT_ABANDONED_0 + 1);
        } else {
            TestThread owner([&] {
                owner_body();
                return 0u;
            });
            // The thread handle is signalled only after the mutex was abandoned.
            ASSERT_TRUE(owner.Join());
            EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_ABANDONED);
        }
        // Now ours, once; the abandoned mark is gone.
        EXPECT_EQ(WaitFromOtherThread(m.get(), 0), WAIT_TIMEOUT);
        EXPECT_TRUE(ReleaseMutex(m.get()));
        EXPECT_FALSE(ReleaseMutex(m.get()));
        EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m.get()));
    }
}
