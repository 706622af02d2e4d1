// Linux implementation file of the platform layer: may include Linux system headers.
// Threads: CreateThread on a detached pthread, thread handles, exit codes, priorities, ids.
//
// A thread object holds the start routine, the kernel tid, the exit code and an eventfd written
// as the trampoline's last act (after the exit code is stored and owned mutexes are abandoned), so
// the handle is signalled at exit and stays signalled. The running thread keeps its own reference
// to the object, so the object outlives CloseHandle of a running thread (which does not stop it).
//
// Priorities are validated and recorded for GetThreadPriority but do not change scheduling: on
// Linux an unprivileged thread can lower its nice value but never raise it again, so mapping
// Windows priorities onto nice values would make a temporary lowering permanent. Success without
// effect is what Windows itself documents for platforms where the call has no effect.
#include <pthread.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <new>

#include "kernel/kobject.h"
#include "support/boundary.h"
#include "support/os_error.h"
#include "processthreadsapi.h"
#include "kernel/thread_state.h"
#include "support/unique_fd.h"
#include "winerror.h"

namespace k47::kernel {

namespace {

class ThreadObject final : public KernelObject {
  public:
    ThreadObject(support::UniqueFd exit_fd, LPTHREAD_START_ROUTINE start, LPVOID param,
                 DWORD suspend_count)
        : exit_fd_(std::move(exit_fd)), start_(start), param_(param), suspend_(suspend_count) {}

    bool Waitable() const override { return true; }
    void AppendPollFds(const WaitLock&, std::vector<pollfd>& fds) override {
        fds.push_back({exit_fd_.get(), POLLIN, 0});
    }
    bool IsSignalled(const WaitLock&, DWORD) override {
        return finished_.load(std::memory_order_acquire);
    }
    // A wait leaves a thread signalled.
    Acquire TryAcquire(const WaitLock& lock, DWORD tid) override {
        return IsSignalled(lock, tid) ? Acquire::kAcquired : Acquire::kNotSignalled;
    }

    static void* Main(void* arg) {
        auto* raw = static_cast<ThreadObject*>(arg);
        std::shared_ptr<ThreadObject> self = std::move(raw->running_ref_);
        kernel::ThreadState& state = kernel::CurrentThreadState();
        state.self = self;
        self->tid_.store(GetCurrentThreadId(), std::memory_order_release);
        self->tid_.notify_all();
        for (DWORD s; (s = self->suspend_.load(std::memory_order_acquire)) != 0;) {
            self->suspend_.wait(s, std::memory_order_acquire);
        }
        DWORD code = self->start_(self->param_);
        self->exit_code_.store(code, std::memory_order_relaxed);
        state.RunDown();
        self->finished_.store(true, std::memory_order_release);
        eventfd_write(self->exit_fd_.get(), 1);
        return nullptr;
    }

    // Starts the pthread and waits until it has published its tid. Returns an errno value.
    int Start(std::shared_ptr<ThreadObject> self, SIZE_T stack_size) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (stack_size != 0) {
            pthread_attr_setstacksize(&attr, std::max<SIZE_T>(stack_size, PTHREAD_STACK_MIN));
        }
        running_ref_ = std::move(self);
        pthread_t thread;
        int error = pthread_create(&thread, &attr, &Main, this);
        pthread_attr_destroy(&attr);
        if (error != 0) {
            running_ref_.reset();
            return error;
        }
        tid_.wait(0, std::memory_order_acquire);
        return 0;
    }

    DWORD Resume() {
        DWORD previous = suspend_.load();
        while (previous != 0 && !suspend_.compare_exchange_weak(previous, previous - 1)) {
        }
        if (previous == 1) {
            suspend_.notify_all();
        }
        return previous;
    }

    DWORD tid() const { return tid_.load(std::memory_order_acquire); }
    DWORD exit_code() const {
        return finished_.load(std::memory_order_acquire)
                   ? exit_code_.load(std::memory_order_relaxed)
                   : static_cast<DWORD>(STILL_ACTIVE);
    }
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};

  private:
    support::UniqueFd exit_fd_;
    const LPTHREAD_START_ROUTINE start_;
    const LPVOID param_;
    std::atomic<DWORD> suspend_;
    std::atomic<DWORD> tid_{0};
    std::atomic<DWORD> exit_code_{0};
    std::atomic<bool> finished_{false};
    std::shared_ptr<ThreadObject> running_ref_;  // handed to the new thread at its start
};

// The thread object a handle names; for the pseudo-handle, the caller's own (null for threads
// not made by CreateThread, `*current` then true).
std::shared_ptr<ThreadObject> ResolveThread(HANDLE h, bool* current) {
    *current = h == CurrentThreadPseudoHandle();
    if (*current) {
        return std::static_pointer_cast<ThreadObject>(kernel::CurrentThreadState().self);
    }
    return LookupHandleAs<ThreadObject>(h);
}

bool ValidPriority(int n) {
    switch (n) {
        case THREAD_PRIORITY_IDLE:
        case THREAD_PRIORITY_LOWEST:
        case THREAD_PRIORITY_BELOW_NORMAL:
        case THREAD_PRIORITY_NORMAL:
        case THREAD_PRIORITY_ABOVE_NORMAL:
        case THREAD_PRIORITY_HIGHEST:
        case THREAD_PRIORITY_TIME_CRITICAL:
            return true;
        default:
            return false;
    }
}

}  // namespace

}  // namespace k47::kernel

using k47::kernel::ThreadObject;

EXTERN_C HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    using namespace k47::kernel;
    if (!lpStartAddress) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return k47::support::Boundary(
        NullWithError(ERROR_NOT_ENOUGH_MEMORY), NullWithError(ERROR_INTERNAL_ERROR),
        [&]() -> HANDLE {
            k47::support::UniqueFd exit_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
            if (!exit_fd) {
                SetError(k47::support::Win32ErrorFromErrno(errno));
                return nullptr;
            }
            DWORD suspend = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
            auto thread = std::make_shared<ThreadObject>(std::move(exit_fd), lpStartAddress,
                                                         lpParameter, suspend);
            // In the table before the thread exists, so a failed insert starts no thread.
            HANDLE handle = InsertHandle(thread);
            if (!handle) {
                return nullptr;
            }
            if (int error = thread->Start(thread, dwStackSize); error != 0) {
                CloseHandleEntry(handle);
                SetError(k47::support::Win32ErrorFromErrno(error));
                return nullptr;
            }
            if (lpThreadId) {
                *lpThreadId = thread->tid();
            }
            return handle;
        });
}

// Only the suspension of CREATE_SUSPENDED exists; the result is the previous suspend count.
EXTERN_C DWORD WINAPI ResumeThread(HANDLE hThread) {
    bool current;
    auto thread = k47::kernel::ResolveThread(hThread, &current);
    if (current) {
        return 0;  // a running thread is not suspended
    }
    if (!thread) {
        return static_cast<DWORD>(-1);
    }
    return thread->Resume();
}

EXTERN_C BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    bool current;
    auto thread = k47::kernel::ResolveThread(hThread, &current);
    if (!thread && !current) {
        return FALSE;
    }
    if (!lpExitCode) {
        k47::kernel::SetError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpExitCode = thread ? thread->exit_code() : static_cast<DWORD>(STILL_ACTIVE);
    return TRUE;
}

EXTERN_C BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    bool current;
    auto thread = k47::kernel::ResolveThread(hThread, &current);
    if (!thread && !current) {
        return FALSE;
    }
    if (!k47::kernel::ValidPriority(nPriority)) {
        k47::kernel::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (thread) {
        thread->priority.store(nPriority);
    } else {
        k47::kernel::CurrentThreadState().priority = nPriority;
    }
    return TRUE;
}

EXTERN_C int WINAPI GetThreadPriority(HANDLE hThread) {
    bool current;
    auto thread = k47::kernel::ResolveThread(hThread, &current);
    if (!thread && !current) {
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return thread ? thread->priority.load() : k47::kernel::CurrentThreadState().priority;
}

EXTERN_C HANDLE WINAPI GetCurrentThread(void) {
    return k47::kernel::CurrentThreadPseudoHandle();
}

EXTERN_C DWORD WINAPI GetThreadId(HANDLE Thread) {
    bool current;
    auto thread = k47::kernel::ResolveThread(Thread, &current);
    if (current) {
        return GetCurrentThreadId();
    }
    return thread ? thread->tid() : 0;
}
