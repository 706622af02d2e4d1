// CloseHandle and handle values: every kind closes once, a second close or a made-up value
// fails with ERROR_INVALID_HANDLE, values are never 0, -1 or -2 and are not reused after a close.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

#include "handle_test_util.h"

using namespace k47test;

namespace {

DWORD WINAPI Nothing(LPVOID) {
    return 0;
}

}  // namespace

TEST(CloseHandle, EveryKindClosesOnceThenTheValueIsInvalid) {
    const std::vector<std::pair<const char*, std::function<HANDLE()>>> kinds = {
        {"event", [] { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }},
        {"mutex", [] { return CreateMutexW(nullptr, FALSE, nullptr); }},
        {"owned mutex", [] { return CreateMutexA(nullptr, TRUE, nullptr); }},
        {"timer", [] { return CreateWaitableTimerW(nullptr, TRUE, nullptr); }},
        {"armed periodic timer",
         [] {
             HANDLE t = CreateWaitableTimerA(nullptr, FALSE, nullptr);
             ArmTimer(t, -10, 10);
             return t;
         }},
        {"thread", [] { return CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr); }},
    };
    for (const auto& [name, make] : kinds) {
        SCOPED_TRACE(name);
        HANDLE h = make();
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(CloseHandle(h));
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

// Values stay clear of the reserved ones, and a closed value is not handed out again even
// though its table slot is reused.
TEST(CloseHandle, ValuesAreNeverReservedOrReused) {
    std::set<HANDLE> ever;
    std::vector<HANDLE> live;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 20; ++i) {
            HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            ASSERT_NE(h, nullptr);
            EXPECT_NE(h, INVALID_HANDLE_VALUE);
            EXPECT_NE(h, GetCurrentThread());
            EXPECT_TRUE(ever.insert(h).second) << "value reused: " << h;
            live.push_back(h);
        }
        // Close every other one, keeping some alive across rounds.
        std::vector<HANDLE> keep;
        for (size_t i = 0; i < live.size(); ++i) {
            if (i % 2 == 0) {
                EXPECT_TRUE(CloseHandle(live[i]));
            } else {
                keep.push_back(live[i]);
            }
        }
        live.swap(keep);
    }
    for (HANDLE h : live) {
        EXPECT_TRUE(CloseHandle(h));
    }
}
