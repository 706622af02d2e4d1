// Internal: the socket object behind a SOCKET, its event selection (WSAEventSelect) and the
// bookkeeping of its network-event record; the library state of WSAStartup/WSACleanup.
//
// SOCKET values: a socket is a (non-waitable) kernel object in the platform's handle table, and
// its SOCKET is its HANDLE value. So it never collides with an event or any other handle, stays
// valid until closesocket (or CloseHandle, or the final WSACleanup), and a stale value fails with
// WSAENOTSOCK instead of naming a newer socket.
//
// Descriptors: the Linux socket is always non-blocking. Blocking mode is emulated: a blocking
// call polls the socket together with the socket's cancel descriptor, which closesocket kicks, so
// a blocking call on another thread ends with WSAEINTR as on Windows.
//
// Event selection (the network-event record of WSAEventSelect) works through a PollSource on the
// selected event (event.h): the event is examined whenever someone waits on it, and the source
// polls the socket with a mask made only of the conditions that may be recorded now:
//   FD_READ    POLLIN while enabled (a receive call re-enables it; level-triggered);
//   FD_ACCEPT  POLLIN on a listening socket while enabled (accept re-enables it);
//   FD_WRITE   POLLOUT only while armed: after a connect, at selection on a connected or datagram
//              socket, and after a send that failed with WSAEWOULDBLOCK;
//   FD_CONNECT POLLOUT while a non-blocking connect is under way (one shot per connect);
//   FD_CLOSE   POLLRDHUP until the peer's shutdown or a reset has been seen (one shot).
// Linux keeps POLLHUP/POLLERR/POLLRDHUP standing once they occur, so the socket remembers what it
// has seen and drops those conditions from the mask: a standing condition never makes a waiter
// spin. A recorded event disables itself until its re-enabling call, as in Winsock.
//
// Threading: every member marked "WaitLock" is read and written with the process-wide WaitLock
// held (PollSource callbacks run under it). Lifetime: the handle table holds one reference; calls
// in progress hold their own, so the descriptor is closed when the last of them ends.
#pragma once

#include <memory>
#include <vector>

#include "kernel/event.h"
#include "kernel/kobject.h"
#include "support/unique_fd.h"
#include "winsock2.h"

namespace k47::winsock {

class OverlappedOp;
class SelectSource;

// True between the first successful WSAStartup and the final WSACleanup.
bool LibraryStarted() noexcept;

class Socket final : public kernel::KernelObject {
  public:
    Socket(support::UniqueFd fd, support::UniqueFd cancel_fd, int family, int type);

    // A new socket in the handle table; INVALID_SOCKET with the last error set on failure.
    static SOCKET Register(std::shared_ptr<Socket> socket) noexcept;
    // The socket a SOCKET names; null with WSAENOTSOCK (or WSANOTINITIALISED) set otherwise.
    static std::shared_ptr<Socket> Lookup(SOCKET s) noexcept;
    // Closes every socket of the process (the final WSACleanup): pending overlapped operations
    // are dropped without setting their events.
    static void CloseAll() noexcept;
    // closesocket: false with WSAENOTSOCK if `s` names no socket.
    static bool Close(SOCKET s) noexcept;

    void OnHandleClosed() override;

    // References a call drops only after releasing the WaitLock (object destructors must not run
    // under it): declare one before the WaitLock and pass it to the calls that detach things.
    struct Released {
        std::shared_ptr<kernel::Event> event;
        std::shared_ptr<kernel::PollSource> source;
        std::vector<std::shared_ptr<OverlappedOp>> operations;
    };

    int fd() const { return fd_.get(); }
    int family() const { return family_; }
    bool stream() const { return type_ == SOCK_STREAM; }

    // Emulated blocking: waits until the descriptor shows one of `events` (or an error). Returns
    // 0, or WSAEINTR when the socket was closed meanwhile.
    int WaitReady(short events) const;

    // ---- state, all under the WaitLock ----

    bool closed(const kernel::WaitLock&) const { return closed_; }
    bool nonblocking(const kernel::WaitLock&) const { return nonblocking_; }
    bool has_selection(const kernel::WaitLock&) const { return select_mask_ != 0; }
    // ioctlsocket(FIONBIO): WSAEINVAL when asked to block while an event selection exists.
    int SetNonBlocking(const kernel::WaitLock&, bool on);

    bool connected(const kernel::WaitLock&) const { return connected_; }
    bool connecting(const kernel::WaitLock&) const { return connecting_; }
    bool listening(const kernel::WaitLock&) const { return listening_; }
    bool bound(const kernel::WaitLock&) const { return bound_; }
    bool send_shut(const kernel::WaitLock&) const { return send_shut_; }
    void MarkBound(const kernel::WaitLock&) { bound_ = true; }
    void MarkListening(const kernel::WaitLock& lock);
    void MarkShutdown(const kernel::WaitLock&, int how);
    // A connect call's outcome: 0 (connected at once), EINPROGRESS (under way; FD_CONNECT is
    // enabled for it) or an errno value.
    void NoteConnectStarted(const kernel::WaitLock& lock, int result);
    // If a connect is under way, learns without blocking whether it has ended.
    void RefreshConnect(const kernel::WaitLock& lock);
    // A socket made by accept: connected from the start.
    void MarkAccepted(const kernel::WaitLock&);
    // Marks a datagram socket connected (it then needs no destination).
    void MarkDatagramConnected(const kernel::WaitLock&) { connected_ = true; }

    // A receive call was made (successful or not): re-enables FD_READ.
    void ReenableRead(const kernel::WaitLock& lock);
    // An accept call was made: re-enables FD_ACCEPT.
    void ReenableAccept(const kernel::WaitLock& lock);
    // A send call was made; `would_block` when it hit WSAEWOULDBLOCK (arms FD_WRITE).
    void NoteSend(const kernel::WaitLock& lock, bool would_block);

    // An error taken from the socket (SO_ERROR) while watching it (an errno value, 0 if none).
    // Data calls report a reset seen on a connection; getsockopt(SO_ERROR) reports any.
    int TakeStoredError(const kernel::WaitLock&, bool for_data_call);

    // WSAEventSelect; lNetworkEvents 0 cancels. The event is checked by the caller.
    void Select(const kernel::WaitLock& lock, std::shared_ptr<kernel::Event> event, LONG events,
                Released* released);
    // Copies the selection of a listening socket (accepted sockets inherit it).
    void InheritSelection(const kernel::WaitLock& lock, const Socket& listener);
    // WSAEnumNetworkEvents: brings the record up to date, copies it out and clears it.
    void TakeRecord(const kernel::WaitLock& lock, WSANETWORKEVENTS* out);

    // Overlapped operations pending on this socket.
    void AddOperation(const kernel::WaitLock&, std::shared_ptr<OverlappedOp> op);
    void RemoveOperation(const kernel::WaitLock&, const OverlappedOp* op);
    std::shared_ptr<OverlappedOp> FindOperation(const kernel::WaitLock&,
                                                const OVERLAPPED* ov) const;

    // For the selection source.
    pollfd SelectPollFd(const kernel::WaitLock&) const;
    // Records what `revents` shows; true when something new was recorded.
    bool NoteReadiness(const kernel::WaitLock&, short revents);

  private:
    void CloseUnderLock(const kernel::WaitLock& lock, Released* released);
    // Records `bit` with `error` if it is selected and enabled; disables it.
    bool Record(LONG bit, int error);
    // Polls the selection's mask once and sets the event if something was recorded.
    void PollNow(const kernel::WaitLock& lock);
    void FinishConnect(int error);

    const support::UniqueFd fd_;
    const support::UniqueFd cancel_fd_;  // eventfd, written when the socket is closed
    const int family_;
    const int type_;
    SOCKET handle_ = INVALID_SOCKET;  // set once by Register

    // WaitLock
    bool closed_ = false;
    bool abort_silently_ = false;  // final WSACleanup: no event is set for dropped operations
    bool nonblocking_ = false;
    bool bound_ = false;
    bool listening_ = false;
    bool connecting_ = false;
    bool connected_ = false;
    bool peer_closed_ = false;   // the peer's shutdown(send), close or reset was seen
    bool hung_up_ = false;       // both directions are closed (POLLHUP)
    bool send_shut_ = false;     // shutdown(SD_SEND) was called
    bool receive_shut_ = false;  // shutdown(SD_RECEIVE) was called
    bool write_armed_ = false;
    int stored_error_ = 0;  // errno value
    LONG select_mask_ = 0;
    LONG enabled_ = 0;
    WSANETWORKEVENTS record_{};
    unsigned long recordings_ = 0;  // counts Record calls that recorded something
    std::shared_ptr<kernel::Event> select_event_;
    std::shared_ptr<SelectSource> select_source_;
    std::vector<std::shared_ptr<OverlappedOp>> operations_;
};

}  // namespace k47::winsock
