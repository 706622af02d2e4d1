// The kernel-object core of the platform layer: the base class of every object a HANDLE names
// (events, waitable timers, mutexes, threads; later files and socket-backed events), the
// process-wide wait lock, and the handle table.
//
// How a wait works (wait.cpp). Waits are built on poll(): every waitable object contributes
// file descriptors that become readable (or show the polled events) when its state may have
// changed, and keeps its real state in user space or in those descriptors. A wait repeats:
//   1. take the WaitLock; for i = 0..n-1 call TryAcquire(i); the first that succeeds is the
//      result, so the lowest signalled index wins and nothing else is consumed;
//   2. collect AppendPollFds of every object (still under the lock), release the lock;
//   3. ppoll() until a descriptor is ready, the thread's wake descriptor is kicked, or the
//      deadline passes; then go to 1.
// The lock orders every state change that a wait observes (SetEvent, ResetEvent, ReleaseMutex,
// SetWaitableTimer, every consumption), which is what makes "only the returned object is consumed"
// and bWaitAll atomic within the process. Poll results are only hints: the state is decided in
// step 1, so spurious wake-ups are harmless.
//
// Writing a new kernel object:
// - derive from KernelObject, override Waitable() to return true (objects that cannot be waited
//   on, such as files, keep the defaults and a wait on them fails with ERROR_INVALID_HANDLE);
// - AppendPollFds: the descriptors and poll events that announce a change; an object must never
//   make one of them stop showing its event except in TryAcquire or in a reset under the lock,
//   or a waiter already inside ppoll() could miss the change (poll re-checks after a wake-up);
// - IsSignalled: whether a wait by thread `tid` would be satisfied now, changing nothing;
// - TryAcquire: if signalled for `tid`, apply the side effect of a satisfied wait (auto-reset,
//   mutex ownership) and report it; otherwise change nothing;
// - if the set of descriptors or their poll events can change while a wait is blocked (a socket's
//   enabled events), call WakeWaiters() under the lock after the change: blocked waiters then
//   collect the descriptors again;
// - OnHandleClosed runs when CloseHandle drops the handle; a wait or an I/O call in progress may
//   still hold a reference, so descriptors are closed in the destructor, which runs when the last
//   reference goes.
// Events accept extra poll sources (event.h): that is how a socket makes an event signalled while
// its selected condition holds, or how a pending overlapped operation completes during a wait.
//
// Handles: InsertHandle stores a counted reference and returns a HANDLE value that is never 0,
// INVALID_HANDLE_VALUE or the current-thread pseudo-handle and is not reused for a long time
// after CloseHandle (a generation count is part of the value), so a stale handle fails with
// ERROR_INVALID_HANDLE rather than naming a new object. LookupHandle returns a counted reference:
// the object and its descriptors outlive the handle for as long as a caller holds it.
//
// Threading: everything here is thread-safe. Lock order: the handle table's lock is never held
// while the WaitLock is taken, and object destructors must not run under the WaitLock (drop
// references after releasing it).
#pragma once

#include <poll.h>

#include <memory>
#include <mutex>
#include <vector>

#include "winerror.h"
#include "winnt.h"

namespace k47::kernel {

// Holding one proves the process-wide wait lock is taken. Helpers that need the lock take
// `const WaitLock&`.
class WaitLock {
  public:
    [[nodiscard]] WaitLock();
    ~WaitLock() = default;
    WaitLock(const WaitLock&) = delete;
    WaitLock& operator=(const WaitLock&) = delete;

  private:
    std::unique_lock<std::mutex> lock_;
};

enum class Acquire {
    kNotSignalled,
    kAcquired,
    kAbandoned,  // a mutex whose owner ended without releasing it: acquired, reported apart
};

class KernelObject : public std::enable_shared_from_this<KernelObject> {
  public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject() = default;

    virtual bool Waitable() const { return false; }
    virtual void AppendPollFds(const WaitLock&, std::vector<pollfd>&) {}
    virtual bool IsSignalled(const WaitLock&, DWORD /*tid*/) { return false; }
    virtual Acquire TryAcquire(const WaitLock&, DWORD /*tid*/) { return Acquire::kNotSignalled; }
    virtual void OnHandleClosed() {}

    // Waiters blocked on this object register their thread's wake descriptor here for the
    // duration of the wait (a descriptor may appear more than once).
    void AddWaiter(const WaitLock&, int wake_fd);
    void RemoveWaiter(const WaitLock&, int wake_fd);
    // Makes every registered waiter collect its poll descriptors again.
    void WakeWaiters(const WaitLock&);

  private:
    std::vector<int> waiter_fds_;
};

using ObjectRef = std::shared_ptr<KernelObject>;

// Stores the object and returns its new handle; null with SetLastError on failure.
HANDLE InsertHandle(ObjectRef object) noexcept;
// The object a handle names, or null with SetLastError(ERROR_INVALID_HANDLE).
ObjectRef LookupHandle(HANDLE handle) noexcept;
// Removes the handle; false with ERROR_INVALID_HANDLE if it names nothing.
bool CloseHandleEntry(HANDLE handle) noexcept;

// The object if it is a T, or null with SetLastError(ERROR_INVALID_HANDLE).
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) noexcept;

// Sets the calling thread's last error (errhandlingapi.h without the Windows signature).
void SetError(DWORD code) noexcept;

// What Boundary gives a call that returns a handle or an object when it fails: `code` for
// GetLastError and a null result.
inline auto NullWithError(DWORD code) noexcept {
    return [code] {
        SetError(code);
        return nullptr;
    };
}

// The value GetCurrentThread() returns: it names the calling thread and is not in the table.
inline HANDLE CurrentThreadPseudoHandle() noexcept {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) noexcept {
    auto typed = std::dynamic_pointer_cast<T>(LookupHandle(handle));
    if (!typed) {
        SetError(ERROR_INVALID_HANDLE);  // a handle of another type counts as a bad one
    }
    return typed;
}

}  // namespace k47::kernel
