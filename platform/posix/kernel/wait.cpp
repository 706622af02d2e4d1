// Linux implementation file of the platform layer: may include Linux system headers.
// WaitForSingleObject and WaitForMultipleObjects (see kobject.h for the loop they run).
//
// A handle closed by another thread during a wait does not end the wait: the wait holds its own
// reference to the object, so its descriptors stay open and their numbers cannot be reused
// under it; the wait goes on until another of its objects is signalled or the time-out passes.
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <new>
#include <vector>

#include "kernel/kobject.h"
#include "support/boundary.h"
#include "support/os_error.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "kernel/thread_state.h"
#include "winerror.h"

namespace k47::kernel {

namespace {

constexpr DWORD kNotYet = 0xFFFFFFFEu;  // no result in this round

int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Registers the waiting thread's wake descriptor with every object of the wait for as long as
// the wait blocks, so objects whose poll descriptors change can make it collect them again.
class WaiterRegistration {
  public:
    WaiterRegistration(const std::vector<ObjectRef>& objects, int wake_fd)
        : objects_(objects), wake_fd_(wake_fd) {}
    WaiterRegistration(const WaiterRegistration&) = delete;
    WaiterRegistration& operator=(const WaiterRegistration&) = delete;
    // Runs after every WaitLock of the wait was released, before the references go.
    ~WaiterRegistration() {
        if (active_) {
            WaitLock lock;
            for (const auto& object : objects_) {
                object->RemoveWaiter(lock, wake_fd_);
            }
        }
    }

    void Register(const WaitLock& lock) {
        if (!active_) {
            active_ = true;  // first: if an insertion throws, the destructor still undoes the rest
            for (const auto& object : objects_) {
                object->AddWaiter(lock, wake_fd_);
            }
        }
    }

  private:
    const std::vector<ObjectRef>& objects_;
    const int wake_fd_;
    bool active_ = false;
};

// Lowest signalled index wins; only that object is consumed.
DWORD TryAny(const WaitLock& lock, const std::vector<ObjectRef>& objects, DWORD tid) {
    for (size_t i = 0; i < objects.size(); ++i) {
        switch (objects[i]->TryAcquire(lock, tid)) {
            case Acquire::kAcquired:
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            case Acquire::kAbandoned:
                return WAIT_ABANDONED_0 + static_cast<DWORD>(i);
            case Acquire::kNotSignalled:
                break;
        }
    }
    return kNotYet;
}

// Nothing is consumed unless every object is signalled; then all are, under the same lock, so
// no other consumer in the process sees a partial state. `pending` gets the unsignalled ones.
DWORD TryAll(const WaitLock& lock, const std::vector<ObjectRef>& objects, DWORD tid,
             std::array<bool, MAXIMUM_WAIT_OBJECTS>& pending) {
    bool all = true;
    for (size_t i = 0; i < objects.size(); ++i) {
        pending[i] = !objects[i]->IsSignalled(lock, tid);
        all = all && !pending[i];
    }
    if (!all) {
        return kNotYet;
    }
    DWORD result = WAIT_OBJECT_0;
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->TryAcquire(lock, tid) == Acquire::kAbandoned && result == WAIT_OBJECT_0) {
            result = WAIT_ABANDONED_0 + static_cast<DWORD>(i);
        }
    }
    return result;
}

DWORD Fail(DWORD error) {
    SetError(error);
    return WAIT_FAILED;
}

DWORD Wait(const HANDLE* handles, DWORD count, bool wait_all, DWORD timeout_ms) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<ObjectRef> objects;
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        ObjectRef object = LookupHandle(handles[i]);
        if (!object || !object->Waitable()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (wait_all) {
            for (const auto& earlier : objects) {
                if (earlier == object) {
                    return Fail(ERROR_INVALID_PARAMETER);  // the same object twice
                }
            }
        }
        objects.push_back(std::move(object));
    }

    const DWORD tid = GetCurrentThreadId();
    const int wake_fd = kernel::CurrentThreadState().WakeFd();
    if (wake_fd < 0) {
        return Fail(support::Win32ErrorFromErrno(errno));
    }
    const bool infinite = timeout_ms == INFINITE;
    const int64_t deadline = infinite ? 0 : MonotonicNs() + int64_t{timeout_ms} * 1000000;

    WaiterRegistration registration(objects, wake_fd);
    std::vector<pollfd> fds;
    std::array<bool, MAXIMUM_WAIT_OBJECTS> pending{};
    for (;;) {
        int64_t remaining = 0;
        {
            WaitLock lock;
            DWORD result =
                wait_all ? TryAll(lock, objects, tid, pending) : TryAny(lock, objects, tid);
            if (result != kNotYet) {
                return result;
            }
            if (!infinite) {
                remaining = deadline - MonotonicNs();
                if (timeout_ms == 0 || remaining <= 0) {
                    return WAIT_TIMEOUT;
                }
            }
            fds.clear();
            fds.push_back({wake_fd, POLLIN, 0});
            for (size_t i = 0; i < objects.size(); ++i) {
                // Wait-all leaves out what is already signalled, or a set manual-reset event
                // would keep the poll returning at once.
                if (!wait_all || pending[i]) {
                    objects[i]->AppendPollFds(lock, fds);
                }
            }
            registration.Register(lock);
        }
        timespec ts{static_cast<time_t>(remaining / 1000000000),
                    static_cast<long>(remaining % 1000000000)};
        int n = ppoll(fds.data(), fds.size(), infinite ? nullptr : &ts, nullptr);
        // Not RetryOnEintr: after a signal the objects are tried again and the time left is
        // recomputed from the deadline.
        if (n < 0 && errno != EINTR) {
            return Fail(support::Win32ErrorFromErrno(errno));
        }
        if (n > 0 && fds[0].revents != 0) {
            eventfd_t kicks;
            eventfd_read(wake_fd, &kicks);
        }
    }
}

DWORD GuardedWait(const HANDLE* handles, DWORD count, bool wait_all, DWORD timeout_ms) noexcept {
    return support::Boundary([] { return Fail(ERROR_NOT_ENOUGH_MEMORY); },
                             [] { return Fail(ERROR_INTERNAL_ERROR); },
                             [&] { return Wait(handles, count, wait_all, timeout_ms); });
}

}  // namespace

}  // namespace k47::kernel

EXTERN_C DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return k47::kernel::GuardedWait(&hHandle, 1, false, dwMilliseconds);
}

EXTERN_C DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                             DWORD dwMilliseconds) {
    return k47::kernel::GuardedWait(lpHandles, nCount, bWaitAll != FALSE, dwMilliseconds);
}
