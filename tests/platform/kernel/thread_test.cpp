// Threads: exit code and STILL_ACTIVE, the handle signalled at exit and forever after, ids,
// CREATE_SUSPENDED, priorities, CloseHandle on a running thread, handle churn.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <vector>

#include "handle_test_util.h"

using namespace k47test;

namespace {

struct Gate {
    HANDLE go;
    std::atomic<DWORD> seen_tid{0};
    DWORD result;
};

DWORD WINAPI WaitForGoThenReturn(LPVOID p) {
    auto* gate = static_cast<Gate*>(p);
    gate->seen_tid = GetCurrentThreadId();
    WaitForSingleObject(gate->go, INFINITE);
    return gate->result;
}

}  // namespace

TEST(Thread, ExitCodeIsStillActiveWhileRunningThenTheReturnValue) {
    UniqueHandle go = MakeEvent(true);
    Gate gate{go.get(), {0}, 42};
    DWORD tid = 0;
    UniqueHandle t(CreateThread(nullptr, 0, WaitForGoThenReturn, &gate, 0, &tid));
    ASSERT_TRUE(t.get());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t.get(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(t.get(), 0), WAIT_TIMEOUT);

    SetEvent(go.get());
    ASSERT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t.get(), &code));
    EXPECT_EQ(code, 42u);
    // Signalled forever: waits are not consumed, from any thread, in any set.
    EXPECT_EQ(WaitForSingleObject(t.get(), 0), WAIT_OBJECT_0);
    HANDLE both[] = {t.get(), t.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    TestThread other([&] { return WaitForSingleObject(t.get(), 0); });
    ASSERT_TRUE(other.Join());
    EXPECT_TRUE(GetExitCodeThread(other.handle(), &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
    // The id reported by CreateThread is the one the thread saw, and GetThreadId agrees.
    EXPECT_EQ(tid, gate.seen_tid.load());
    EXPECT_EQ(GetThreadId(t.get()), tid);
}

TEST(Thread, CreateSuspendedRunsOnlyAfterResume) {
    UniqueHandle go = MakeEvent(true, true);
    Gate gate{go.get(), {0}, 5};
    DWORD tid = 0;
    UniqueHandle t(CreateThread(nullptr, 0, WaitForGoThenReturn, &gate, CREATE_SUSPENDED, &tid));
    ASSERT_TRUE(t.get());
    EXPECT_NE(tid, 0u);
    EXPECT_EQ(WaitForSingleObject(t.get(), 100), WAIT_TIMEOUT);
    EXPECT_EQ(gate.seen_tid.load(), 0u);  // the body has not run
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t.get(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(ResumeThread(t.get()), 1u);
    ASSERT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(gate.seen_tid.load(), tid);
    EXPECT_EQ(ResumeThread(t.get()), 0u);
    EXPECT_EQ(ResumeThread(nullptr), static_cast<DWORD>(-1));
}

// Closing the handle of a running thread does not stop it; the thread still runs to its end.
TEST(Thread, CloseHandleOfARunningThread) {
    UniqueHandle go = MakeEvent(true);
    UniqueHandle done = MakeEvent(true);
    struct Args {
        HANDLE go, done;
    } args{go.get(), done.get()};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* a = static_cast<Args*>(p);
            WaitForSingleObject(a->go, INFINITE);
            SetEvent(a->done);
            return 0;
        },
        &args, 0, nullptr);
    ASSERT_TRUE(t);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_FALSE(CloseHandle(t));
    SetEvent(go.get());
    EXPECT_EQ(WaitForSingleObject(done.get(), 10000), WAIT_OBJECT_0);
}
