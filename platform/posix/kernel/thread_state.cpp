// Linux implementation file of the platform layer: may include Linux system headers.
// Per-thread bookkeeping, thread ids and the per-thread last error.
#include "kernel/thread_state.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "errhandlingapi.h"
#include "processthreadsapi.h"

namespace k47::kernel {

namespace {

// Trivially destructible, so usable from any destructor at thread exit.
thread_local ThreadState* t_state = nullptr;
thread_local DWORD t_tid = 0;
thread_local DWORD t_last_error = 0;

void DestroyThreadState(void* p) {
    auto* state = static_cast<ThreadState*>(p);
    state->RunDown();
    t_state = nullptr;
    delete state;  // owner: this thread-exit hook, paired with the `new` in CurrentThreadState
}

// A forked child is a new thread with the forking thread's thread_locals: forget the cached id.
[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, [] { t_tid = 0; });

pthread_key_t StateKey() {
    static pthread_key_t key = [] {
        pthread_key_t k;
        if (pthread_key_create(&k, DestroyThreadState) != 0) {
            std::abort();  // only fails when the process is out of keys at start-up
        }
        return k;
    }();
    return key;
}

}  // namespace

ThreadState::~ThreadState() {
    if (alt_stack) {
        stack_t disable{};
        disable.ss_flags = SS_DISABLE;
        sigaltstack(&disable, nullptr);
    }
}

int ThreadState::WakeFd() {
    if (!wake_fd_) {
        wake_fd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    }
    return wake_fd_.get();
}

void ThreadState::RunDown() {
    if (!owned_mutexes.empty()) {
        AbandonMutexes(owned_mutexes, GetCurrentThreadId());
    }
    self.reset();
}

ThreadState& CurrentThreadState() {
    if (!t_state) {
        pthread_key_t key = StateKey();
        t_state = new ThreadState;  // owner: DestroyThreadState at thread exit
        pthread_setspecific(key, t_state);
    }
    return *t_state;
}

}  // namespace k47::kernel

namespace k47::kernel {
void SetError(DWORD code) noexcept {
    k47::kernel::t_last_error = code;
}
}  // namespace k47::kernel

EXTERN_C DWORD WINAPI GetLastError(void) {
    return k47::kernel::t_last_error;
}

EXTERN_C void WINAPI SetLastError(DWORD dwErrCode) {
    k47::kernel::t_last_error = dwErrCode;
}

// The kernel thread id: unique among live threads of the system, stable for the thread's life.
EXTERN_C DWORD WINAPI GetCurrentThreadId(void) {
    if (k47::kernel::t_tid == 0) {
        k47::kernel::t_tid = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return k47::kernel::t_tid;
}

EXTERN_C DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
