// Per-thread bookkeeping of the platform layer, for every thread that calls it (created by
// CreateThread or not): the kernel thread id, the wake descriptor that lets other threads make
// this thread's waits collect their poll set again, the mutexes it owns (abandoned when it
// ends), the priority recorded for the current-thread pseudo-handle, and the alternate signal
// stack of the fault handler.
//
// Threading: a ThreadState belongs to its thread; only that thread touches it, except that the
// wake descriptor's number is handed to objects under the WaitLock and written by other threads.
// Lifetime: created on first use; run down and freed by a thread-exit hook that runs after the
// thread's C++ thread_local destructors (a pthread key destructor), so platform calls made from
// thread_local destructors still work. CreateThread threads run down explicitly before their
// handle is signalled, so a waiter on the thread handle sees the mutexes already abandoned.
#pragma once

#include <memory>
#include <vector>

#include "kernel/kobject.h"
#include "support/unique_fd.h"

namespace k47::kernel {

class ThreadState {
  public:
    ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    ~ThreadState();

    // The eventfd that kicks this thread's waits; created on first use. -1 if it could not be
    // created (the wait then fails).
    int WakeFd();

    // Mutexes this thread owns (one entry per ownership, not per recursion).
    std::vector<kernel::ObjectRef> owned_mutexes;
    // The CreateThread object of this thread, if it has one (see thread.cpp).
    kernel::ObjectRef self;
    // Priority recorded for threads without a CreateThread object.
    int priority = 0;
    // Alternate stack of the fault handler, installed by _set_se_translator.
    std::unique_ptr<char[]> alt_stack;
    size_t alt_stack_size = 0;

    // Abandons owned mutexes; safe to call more than once.
    void RunDown();

  private:
    support::UniqueFd wake_fd_;
};

// The calling thread's state.
ThreadState& CurrentThreadState();

// Defined in mutex.cpp: releases every mutex in `owned` as abandoned.
void AbandonMutexes(std::vector<kernel::ObjectRef>& owned, DWORD tid);

}  // namespace k47::kernel
