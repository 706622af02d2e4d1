// System time, tick counts and Sleep.
#include <windows.h>

#include <gtest/gtest.h>
#include <time.h>

#include "handle_test_util.h"

using namespace k47test;

// FILETIME is 100 ns units since 1601-01-01 UTC: compare with time(), which is since 1970.
TEST(Clock, SystemTimeAsFileTimeIsUtcSince1601) {
    FILETIME ft;
    time_t before = time(nullptr);
    GetSystemTimeAsFileTime(&ft);
    time_t after = time(nullptr);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    const ULONGLONG kEpochDiff = 11644473600ull;  // seconds from 1601 to 1970
    ULONGLONG seconds = v.QuadPart / 10000000ull;
    EXPECT_GE(seconds, static_cast<ULONGLONG>(before) + kEpochDiff);
    EXPECT_LE(seconds, static_cast<ULONGLONG>(after) + kEpochDiff);
    // Successive readings do not go back (barring a clock step during the test).
    FILETIME ft2;
    GetSystemTimeAsFileTime(&ft2);
    ULARGE_INTEGER v2;
    v2.LowPart = ft2.dwLowDateTime;
    v2.HighPart = ft2.dwHighDateTime;
    EXPECT_GE(v2.QuadPart, v.QuadPart);
}

TEST(Clock, TickCountsAreMonotonicMilliseconds) {
    ULONGLONG t0 = GetTickCount64();
    DWORD d0 = GetTickCount();
    // GetTickCount is the low 32 bits of the same clock.
    EXPECT_LT(static_cast<DWORD>(d0 - static_cast<DWORD>(t0)), 1000u);
    Stopwatch watch;
    Sleep(120);
    double elapsed = watch.ElapsedMs();
    ULONGLONG t1 = GetTickCount64();
    EXPECT_GE(t1 - t0 + 1, 120u);  // 1 ms of truncation at each end
    EXPECT_LE(static_cast<double>(t1 - t0), elapsed + 2.0);
}

TEST(Clock, SleepLastsAtLeastItsTime) {
    for (DWORD ms : {1u, 50u, 200u}) {
        Stopwatch watch;
        Sleep(ms);
        EXPECT_GE(watch.ElapsedMs(), ms - 0.01);
        EXPECT_LT(watch.ElapsedMs(), ms + 1000.0);
    }
    Stopwatch watch;
    Sleep(0);
    EXPECT_LT(watch.ElapsedMs(), 500.0);
}
