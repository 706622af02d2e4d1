// Linux implementation file of the platform layer: may include Linux system headers.
// Mutex objects: recursive, owned by a thread, abandoned when the owner ends without releasing.
//
// Owner, recursion count and the abandoned flag live in user space under the WaitLock; an
// eventfd is readable exactly while the mutex is unowned, so blocked waiters wake on release.
// The owner's own waits succeed from the user-space check without polling. Each owning thread
// lists its mutexes in its ThreadState; the thread-exit hook (or CreateThread's trampoline,
// before it signals the thread handle) abandons what is still listed.
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "kernel/kobject.h"
#include "support/boundary.h"
#include "support/os_error.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "kernel/thread_state.h"
#include "support/unique_fd.h"
#include "winerror.h"

namespace k47::kernel {

namespace {

class Mutex final : public KernelObject {
  public:
    explicit Mutex(support::UniqueFd fd) : fd_(std::move(fd)) {}

    bool Waitable() const override { return true; }

    void AppendPollFds(const WaitLock&, std::vector<pollfd>& fds) override {
        fds.push_back({fd_.get(), POLLIN, 0});
    }

    bool IsSignalled(const WaitLock&, DWORD tid) override { return owner_ == 0 || owner_ == tid; }

    Acquire TryAcquire(const WaitLock&, DWORD tid) override {
        if (owner_ == tid) {
            ++count_;
            return Acquire::kAcquired;
        }
        if (owner_ != 0) {
            return Acquire::kNotSignalled;
        }
        // Listed before the state changes: if the list cannot grow, nothing was acquired.
        kernel::CurrentThreadState().owned_mutexes.push_back(shared_from_this());
        owner_ = tid;
        count_ = 1;
        eventfd_t drained;
        eventfd_read(fd_.get(), &drained);
        bool abandoned = abandoned_;
        abandoned_ = false;
        return abandoned ? Acquire::kAbandoned : Acquire::kAcquired;
    }

    // False if `tid` does not own the mutex. On the last release, the reference the owner's
    // list held is moved to `unlisted` so the caller drops it after leaving the lock.
    bool Release(const WaitLock&, DWORD tid, ObjectRef& unlisted) {
        if (owner_ != tid || count_ == 0) {
            return false;
        }
        if (--count_ == 0) {
            owner_ = 0;
            eventfd_write(fd_.get(), 1);
            auto& owned = kernel::CurrentThreadState().owned_mutexes;
            auto it = std::find_if(owned.begin(), owned.end(),
                                   [this](const ObjectRef& m) { return m.get() == this; });
            if (it != owned.end()) {
                unlisted = std::move(*it);
                owned.erase(it);
            }
        }
        return true;
    }

    void Abandon(const WaitLock&, DWORD tid) {
        if (owner_ == tid) {
            owner_ = 0;
            count_ = 0;
            abandoned_ = true;
            eventfd_write(fd_.get(), 1);
        }
    }

  private:
    support::UniqueFd fd_;  // readable while unowned
    DWORD owner_ = 0;
    DWORD count_ = 0;
    bool abandoned_ = false;
};

}  // namespace

}  // namespace k47::kernel

namespace k47::kernel {

void AbandonMutexes(std::vector<kernel::ObjectRef>& owned, DWORD tid) {
    std::vector<kernel::ObjectRef> released;
    {
        kernel::WaitLock lock;
        for (auto& object : owned) {
            static_cast<kernel::Mutex&>(*object).Abandon(lock, tid);
        }
        released.swap(owned);
    }
}

}  // namespace k47::kernel

namespace {

HANDLE CreateMutexCommon(bool named, BOOL initial_owner) {
    using namespace k47::kernel;
    if (named) {
        // Named (shared) mutexes are not used by the system; the namespace is not emulated.
        SetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return k47::support::Boundary(
        NullWithError(ERROR_NOT_ENOUGH_MEMORY), NullWithError(ERROR_INTERNAL_ERROR),
        [&]() -> HANDLE {
            // Created unowned (counter 1, readable); an initial owner takes it like a wait would.
            k47::support::UniqueFd fd(eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC));
            if (!fd) {
                SetError(k47::support::Win32ErrorFromErrno(errno));
                return nullptr;
            }
            auto mutex = std::make_shared<Mutex>(std::move(fd));
            if (initial_owner) {
                WaitLock lock;
                mutex->TryAcquire(lock, GetCurrentThreadId());
            }
            return InsertHandle(std::move(mutex));
            // On failure to insert, an initial ownership stays listed until the thread ends; the
            // object itself is then released.
        });
}

}  // namespace

EXTERN_C HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    return CreateMutexCommon(lpName && *lpName, bInitialOwner);
}

EXTERN_C HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    return CreateMutexCommon(lpName && *lpName, bInitialOwner);
}

EXTERN_C BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    using namespace k47::kernel;
    auto mutex = LookupHandleAs<Mutex>(hMutex);
    if (!mutex) {
        return FALSE;
    }
    ObjectRef unlisted;
    bool released;
    {
        WaitLock lock;
        released = mutex->Release(lock, GetCurrentThreadId(), unlisted);
    }
    if (!released) {
        SetError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}
