// Linux implementation file of the platform layer: may include Linux system headers.
// System time, tick counts and Sleep.
//
// GetTickCount counts CLOCK_BOOTTIME: monotonic and, like the Windows tick count, it goes on
// while the machine is suspended. Sleep runs on CLOCK_MONOTONIC (it stops during suspend, as
// Windows waits do since Windows 8) against an absolute deadline, so signals do not shorten it.
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "support/eintr.h"
#include "synchapi.h"
#include "sysinfoapi.h"

namespace {

constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;  // 1970-01-01 in FILETIME units

}  // namespace

EXTERN_C void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t ticks = kFileTimeUnixEpoch + static_cast<uint64_t>(now.tv_sec) * 10000000ull +
                     static_cast<uint64_t>(now.tv_nsec) / 100;
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

EXTERN_C ULONGLONG WINAPI GetTickCount64(void) {
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000 +
           static_cast<ULONGLONG>(now.tv_nsec) / 1000000;
}

// Wraps after 49.7 days, as on Windows.
EXTERN_C DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(GetTickCount64());
}

EXTERN_C void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();  // gives up the rest of the time slice, as Sleep(0) does
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) {
            pause();
        }
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += dwMilliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // An absolute deadline: a restart after a signal sleeps only what is left.
    k47::support::RetryOnEintrCode(
        [&] { return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr); });
}
