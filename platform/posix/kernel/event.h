// Event objects (CreateEvent, SetEvent, ResetEvent) and extra poll sources attached to an event.
//
// State: a flag kept under the WaitLock, mirrored by an eventfd that is readable exactly while
// the flag is set, so blocked waiters wake on SetEvent. Manual-reset events stay set until
// ResetEvent; auto-reset events are cleared by the one wait they satisfy. Setting a set event
// does nothing (no counting).
//
// Extra poll sources (the extension point for sockets): a PollSource names a descriptor and the
// poll events that currently count. Whenever a wait examines the event while it is not set, the
// event polls its sources without blocking and calls OnReady for each that shows an event; if
// OnReady returns true the event becomes set as if by SetEvent. Blocked waiters poll the
// sources' descriptors too, so they wake when a source becomes ready. This gives both uses:
// - "signalled while a condition holds" (WSAEventSelect): OnReady records what happened,
//   disables the reported events in the source's mask and returns true; a manual-reset event then
//   stays set until the owner resets it, and the source re-enables its mask when the matching
//   call (recv, send) is made;
// - "complete a pending operation during the wait" (overlapped I/O): OnReady performs the I/O,
//   stores the result, returns true, and the owner detaches the source afterwards.
// Reset (ResetEvent, and the resets the Winsock calls make) tells every source through
// OnEventReset, so a pending operation can cancel itself; a wait consuming an auto-reset event
// does not count as a reset.
// When a source's mask changes while waits may be blocked, call Event::SourcesChanged under the
// lock so those waiters collect the new mask.
//
// Threading: all members taking a WaitLock must be called with it held. PollSource callbacks run
// under the WaitLock on whichever thread examines the event: they must not take the WaitLock,
// block, or destroy the event, and a source's destructor may run under the lock too.
#pragma once

#include <memory>
#include <vector>

#include "kernel/kobject.h"
#include "support/unique_fd.h"

namespace k47::kernel {

class PollSource {
  public:
    virtual ~PollSource() = default;
    // The descriptor and the poll events that count now; events == 0 contributes nothing.
    virtual pollfd PollFd(const WaitLock&) const = 0;
    // The descriptor showed `revents` (events asked for, or POLLERR/POLLHUP/POLLNVAL). Returns
    // true to set the event.
    virtual bool OnReady(const WaitLock&, short revents) = 0;
    // The event was reset (not consumed by a wait). The source may detach itself here.
    virtual void OnEventReset(const WaitLock&) {}
};

class Event final : public KernelObject {
  public:
    // Null with SetLastError on failure.
    static std::shared_ptr<Event> Create(bool manual_reset, bool initially_set) noexcept;

    Event(support::UniqueFd fd, bool manual_reset)
        : fd_(std::move(fd)), manual_reset_(manual_reset) {}

    bool Waitable() const override { return true; }
    void AppendPollFds(const WaitLock&, std::vector<pollfd>& fds) override;
    bool IsSignalled(const WaitLock&, DWORD tid) override;
    Acquire TryAcquire(const WaitLock&, DWORD tid) override;

    void Set(const WaitLock&);
    void Reset(const WaitLock&);
    bool manual_reset() const { return manual_reset_; }

    void AttachSource(const WaitLock&, std::shared_ptr<PollSource> source);
    void DetachSource(const WaitLock&, const PollSource* source);
    void SourcesChanged(const WaitLock& lock) { WakeWaiters(lock); }

  private:
    // Polls the sources once without blocking and sets the event if one asks for it.
    void PollSources(const WaitLock&);
    // Clears the state without telling the sources (an auto-reset event consumed by a wait).
    void Clear(const WaitLock&);

    support::UniqueFd fd_;
    const bool manual_reset_;
    bool set_ = false;
    std::vector<std::shared_ptr<PollSource>> sources_;
};

}  // namespace k47::kernel
