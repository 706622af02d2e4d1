// Linux implementation file of the platform layer: may include Linux system headers.
// Event objects and their extra poll sources.
#include "kernel/event.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "support/boundary.h"
#include "support/eintr.h"
#include "support/os_error.h"
#include "synchapi.h"
#include "winerror.h"

namespace k47::kernel {

std::shared_ptr<Event> Event::Create(bool manual_reset, bool initially_set) noexcept {
    return support::Boundary(NullWithError(ERROR_NOT_ENOUGH_MEMORY),
                             NullWithError(ERROR_INTERNAL_ERROR), [&]() -> std::shared_ptr<Event> {
                                 support::UniqueFd fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
                                 if (!fd) {
                                     SetError(support::Win32ErrorFromErrno(errno));
                                     return nullptr;
                                 }
                                 auto event = std::make_shared<Event>(std::move(fd), manual_reset);
                                 if (initially_set) {
                                     WaitLock lock;
                                     event->Set(lock);
                                 }
                                 return event;
                             });
}

void Event::AppendPollFds(const WaitLock& lock, std::vector<pollfd>& fds) {
    fds.push_back({fd_.get(), POLLIN, 0});
    for (const auto& source : sources_) {
        pollfd p = source->PollFd(lock);
        if (p.events != 0) {
            fds.push_back({p.fd, p.events, 0});
        }
    }
}

bool Event::IsSignalled(const WaitLock& lock, DWORD) {
    PollSources(lock);
    return set_;
}

Acquire Event::TryAcquire(const WaitLock& lock, DWORD) {
    PollSources(lock);
    if (!set_) {
        return Acquire::kNotSignalled;
    }
    if (!manual_reset_) {
        Clear(lock);
    }
    return Acquire::kAcquired;
}

void Event::Set(const WaitLock&) {
    if (!set_) {
        set_ = true;
        eventfd_write(fd_.get(), 1);  // cannot fail: the counter is 0 here
    }
}

void Event::Clear(const WaitLock&) {
    if (set_) {
        set_ = false;
        eventfd_t drained;
        eventfd_read(fd_.get(), &drained);
    }
}

void Event::Reset(const WaitLock& lock) {
    Clear(lock);
    if (!sources_.empty()) {
        auto sources = sources_;  // a source may detach itself
        for (const auto& source : sources) {
            source->OnEventReset(lock);
        }
    }
}

void Event::AttachSource(const WaitLock& lock, std::shared_ptr<PollSource> source) {
    sources_.push_back(std::move(source));
    WakeWaiters(lock);
}

void Event::DetachSource(const WaitLock& lock, const PollSource* source) {
    auto it = std::find_if(sources_.begin(), sources_.end(),
                           [source](const auto& s) { return s.get() == source; });
    if (it != sources_.end()) {
        sources_.erase(it);
        // Waiters drop the descriptor, which its owner may close next.
        WakeWaiters(lock);
    }
}

void Event::PollSources(const WaitLock& lock) {
    if (set_ || sources_.empty()) {
        return;
    }
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<PollSource>> polled;
    for (const auto& source : sources_) {
        pollfd p = source->PollFd(lock);
        if (p.events != 0) {
            fds.push_back({p.fd, p.events, 0});
            polled.push_back(source);  // OnReady may detach it: keep it alive for the loop
        }
    }
    if (fds.empty()) {
        return;
    }
    int n = support::RetryOnEintr([&] { return poll(fds.data(), fds.size(), 0); });
    if (n <= 0) {
        return;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents != 0 && polled[i]->OnReady(lock, fds[i].revents)) {
            Set(lock);
        }
    }
}

}  // namespace k47::kernel

namespace {

using k47::kernel::Event;

HANDLE CreateEventCommon(bool named, BOOL manual_reset, BOOL initial_state) {
    if (named) {
        // Named (shared) events are not used by the system; the namespace is not emulated.
        k47::kernel::SetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = Event::Create(manual_reset != FALSE, initial_state != FALSE);
    if (!event) {
        return nullptr;
    }
    return k47::kernel::InsertHandle(std::move(event));
}

}  // namespace

EXTERN_C HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                                    LPCSTR lpName) {
    return CreateEventCommon(lpName && *lpName, bManualReset, bInitialState);
}

EXTERN_C HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                                    LPCWSTR lpName) {
    return CreateEventCommon(lpName && *lpName, bManualReset, bInitialState);
}

EXTERN_C BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = k47::kernel::LookupHandleAs<Event>(hEvent);
    if (!event) {
        return FALSE;
    }
    k47::kernel::WaitLock lock;
    event->Set(lock);
    return TRUE;
}

EXTERN_C BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = k47::kernel::LookupHandleAs<Event>(hEvent);
    if (!event) {
        return FALSE;
    }
    k47::kernel::WaitLock lock;
    event->Reset(lock);
    return TRUE;
}
