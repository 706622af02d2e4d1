// Linux implementation file of the platform layer: may include Linux system headers.
// Waitable timers: notification (manual-reset) and synchronisation timers, relative or absolute
// due times in 100 ns units, optional period in ms.
//
// Up to three descriptors per timer, all polled by waiters:
// - a CLOCK_MONOTONIC timerfd for relative due times (and the periods after an immediate start);
// - a CLOCK_REALTIME timerfd armed with TFD_TIMER_ABSTIME for absolute due times, so the due time
//   follows changes of the system time as on Windows; made by the first absolute due time (most
//   timers never get one, and a host with a thousand cameras has a thousand timers), and blocked
//   waiters are woken to poll it too;
// - a latch eventfd for the signalled state that no timerfd holds: a due time already past
//   (signalled at once, synchronously) and CancelWaitableTimer, which must keep a signalled timer
//   signalled while disarming a timerfd would clear it.
// The timer is signalled while the latch is set or the armed timerfd has expirations. A
// synchronisation timer's wait reads them all: the state is one flag, so missed periods collapse
// into one signal. Periods come from the timerfd interval, counted from the previous due time, so
// they do not drift with the waiter. SetWaitableTimer disarms (which clears expirations) and
// clears the latch, so re-arming makes the timer non-signalled.
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include "kernel/kobject.h"
#include "support/boundary.h"
#include "support/eintr.h"
#include "support/os_error.h"
#include "synchapi.h"
#include "support/unique_fd.h"
#include "winerror.h"

namespace k47::kernel {

namespace {

constexpr int64_t kFileTimeUnixEpoch = 116444736000000000;  // 1970-01-01 in 100 ns since 1601
constexpr int64_t kTicksPerSecond = 10000000;

timespec TicksToTimespec(int64_t ticks) {
    return {static_cast<time_t>(ticks / kTicksPerSecond),
            static_cast<long>((ticks % kTicksPerSecond) * 100)};
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    int n = support::RetryOnEintr([&] { return poll(&p, 1, 0); });
    return n > 0 && (p.revents & POLLIN);
}

class WaitableTimer final : public KernelObject {
  public:
    WaitableTimer(bool manual_reset, support::UniqueFd mono, support::UniqueFd latch)
        : manual_reset_(manual_reset), mono_(std::move(mono)), latch_(std::move(latch)) {}

    bool Waitable() const override { return true; }

    void AppendPollFds(const WaitLock&, std::vector<pollfd>& fds) override {
        fds.push_back({latch_.get(), POLLIN, 0});
        fds.push_back({mono_.get(), POLLIN, 0});
        if (real_)
            fds.push_back({real_.get(), POLLIN, 0});
    }

    bool IsSignalled(const WaitLock&, DWORD) override {
        return latched_ || (armed_ >= 0 && Readable(armed_));
    }

    Acquire TryAcquire(const WaitLock& lock, DWORD tid) override {
        if (manual_reset_) {
            return IsSignalled(lock, tid) ? Acquire::kAcquired : Acquire::kNotSignalled;
        }
        bool fired = false;
        if (armed_ >= 0) {
            uint64_t expirations;
            fired = read(armed_, &expirations, sizeof expirations) == sizeof expirations;
        }
        if (latched_) {
            SetLatch(false);
            fired = true;
        }
        return fired ? Acquire::kAcquired : Acquire::kNotSignalled;
    }

    // False with errno set if the kernel refused the times.
    bool Set(const WaitLock& lock, int64_t due, LONG period_ms) {
        SetLatch(false);
        if (!Disarm()) {
            return false;
        }
        itimerspec spec{};
        spec.it_interval = {static_cast<time_t>(period_ms / 1000),
                            static_cast<long>(period_ms % 1000) * 1000000L};
        if (due < 0) {
            // INT64_MIN cannot be negated; it is ~29 000 years anyway.
            int64_t ticks = due == INT64_MIN ? INT64_MAX : -due;
            spec.it_value = TicksToTimespec(ticks);
            return Arm(mono_.get(), 0, spec);
        }
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        int64_t now_ticks = (now.tv_sec * kTicksPerSecond + now.tv_nsec / 100);
        int64_t unix_ticks = due - kFileTimeUnixEpoch;
        if (unix_ticks > now_ticks) {
            if (!real_) {
                real_.reset(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
                if (!real_)
                    return false;
                WakeWaiters(lock);  // their poll sets lack it
            }
            spec.it_value = TicksToTimespec(unix_ticks);
            return Arm(real_.get(), TFD_TIMER_ABSTIME, spec);
        }
        // Already due (0 included): signalled now; a period runs from now.
        SetLatch(true);
        if (period_ms > 0) {
            spec.it_value = spec.it_interval;
            return Arm(mono_.get(), 0, spec);
        }
        return true;
    }

    bool Cancel(const WaitLock&) {
        if (!latched_ && armed_ >= 0 && Readable(armed_)) {
            SetLatch(true);
        }
        return Disarm();
    }

  private:
    bool Arm(int fd, int flags, const itimerspec& spec) {
        if (timerfd_settime(fd, flags, &spec, nullptr) != 0) {
            return false;
        }
        armed_ = fd;
        return true;
    }

    bool Disarm() {
        if (armed_ < 0) {
            return true;
        }
        itimerspec zero{};
        if (timerfd_settime(armed_, 0, &zero, nullptr) != 0) {
            return false;
        }
        armed_ = -1;
        return true;
    }

    void SetLatch(bool on) {
        if (on == latched_) {
            return;
        }
        latched_ = on;
        if (on) {
            eventfd_write(latch_.get(), 1);
        } else {
            eventfd_t drained;
            eventfd_read(latch_.get(), &drained);
        }
    }

    const bool manual_reset_;
    support::UniqueFd mono_;
    support::UniqueFd real_;   // from the first absolute due time on
    support::UniqueFd latch_;  // readable while latched_
    bool latched_ = false;
    int armed_ = -1;  // mono_ or real_ while armed
};

HANDLE CreateTimerCommon(bool named, BOOL manual_reset) {
    if (named) {
        // Named (shared) timers are not used by the system; the namespace is not emulated.
        SetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    support::UniqueFd mono(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    support::UniqueFd latch(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!mono || !latch) {
        SetError(support::Win32ErrorFromErrno(errno));
        return nullptr;
    }
    return support::Boundary(NullWithError(ERROR_NOT_ENOUGH_MEMORY),
                             NullWithError(ERROR_INTERNAL_ERROR), [&] {
                                 return InsertHandle(std::make_shared<WaitableTimer>(
                                     manual_reset != FALSE, std::move(mono), std::move(latch)));
                             });
}

}  // namespace

}  // namespace k47::kernel

EXTERN_C HANDLE WINAPI CreateWaitableTimerA(LPSECURITY_ATTRIBUTES, BOOL bManualReset,
                                            LPCSTR lpTimerName) {
    return k47::kernel::CreateTimerCommon(lpTimerName && *lpTimerName, bManualReset);
}

EXTERN_C HANDLE WINAPI CreateWaitableTimerW(LPSECURITY_ATTRIBUTES, BOOL bManualReset,
                                            LPCWSTR lpTimerName) {
    return k47::kernel::CreateTimerCommon(lpTimerName && *lpTimerName, bManualReset);
}

// The completion routine is accepted and never called: it would run only in an alertable wait,
// and the platform has none.
EXTERN_C BOOL WINAPI SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime, LONG lPeriod,
                                      PTIMERAPCROUTINE, LPVOID, BOOL fResume) {
    using namespace k47::kernel;
    auto timer = LookupHandleAs<WaitableTimer>(hTimer);
    if (!timer) {
        return FALSE;
    }
    if (!lpDueTime) {
        SetError(ERROR_NOACCESS);
        return FALSE;
    }
    if (lPeriod < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int error = 0;
    {
        WaitLock lock;
        if (!timer->Set(lock, lpDueTime->QuadPart, lPeriod)) {
            error = errno;
        }
    }
    if (error != 0) {
        SetError(k47::support::Win32ErrorFromErrno(error));
        return FALSE;
    }
    if (fResume) {
        SetError(ERROR_NOT_SUPPORTED);  // succeeds, but the system is not woken from sleep
    }
    return TRUE;
}

EXTERN_C BOOL WINAPI CancelWaitableTimer(HANDLE hTimer) {
    using namespace k47::kernel;
    auto timer = LookupHandleAs<WaitableTimer>(hTimer);
    if (!timer) {
        return FALSE;
    }
    int error = 0;
    {
        WaitLock lock;
        if (!timer->Cancel(lock)) {
            error = errno;
        }
    }
    if (error != 0) {
        SetError(k47::support::Win32ErrorFromErrno(error));
        return FALSE;
    }
    return TRUE;
}
