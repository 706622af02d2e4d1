// Internal: single transfers on a socket (the non-blocking attempt every send and receive call is
// made of) and overlapped WSASend/WSARecv/WSASendTo/WSARecvFrom with an event.
//
// How an overlapped operation completes. The call first tries the transfer at once; if it can be
// made, the results go to the OVERLAPPED (and the caller's counters), the event is set and the
// call returns 0. Otherwise the OVERLAPPED is marked pending, the event is reset and an
// OverlappedOp is attached to it as a poll source (event.h). There is no thread of our own:
// the transfer is performed, under the WaitLock, by whoever next examines the event while the
// socket is ready, that is during
//   - a wait that includes the event (WaitForSingleObject, WaitForMultipleObjects,
//     WSAWaitForMultipleEvents; by any thread), or
//   - WSAGetOverlappedResult for that operation.
// The caller's buffers, the OVERLAPPED and lpFrom/lpFromlen may be written only then, and never
// after the operation has completed or has been cancelled. An operation is cancelled, without
// anything being written, by closesocket (which sets the event, as a completion with
// WSA_OPERATION_ABORTED would), by the final WSACleanup (which does not), and by any reset of its
// event: ResetEvent, WSAResetEvent, WSAEnumNetworkEvents with that event, or a new overlapped
// operation on the same event. So a caller that gives up waiting after a time-out must close the
// socket or reset the event before it frees or reuses the buffers; from then on they are its own.
//
// The OVERLAPPED carries the result once the operation is over: Internal is kPendingStatus while
// pending, else the Winsock error (0 for success); InternalHigh the byte count; Offset the flags.
//
// Threading: OverlappedOp members run under the WaitLock (they are poll-source callbacks or are
// called with it held).
#pragma once

#include <memory>
#include <vector>

#include "winsock/socket_sys.h"
#include "winsock/winsock_socket.h"

namespace k47::winsock {

// OVERLAPPED.Internal while an operation is pending (STATUS_PENDING on Windows).
inline constexpr ULONG_PTR kPendingStatus = 0x103;

struct TransferResult {
    int error = 0;    // 0, WSAEWOULDBLOCK when nothing could be done now, or a Winsock error
    DWORD bytes = 0;  // for a truncated datagram (WSAEMSGSIZE) the bytes placed in the buffers
};

// One non-blocking receive into `slices` (EINTR retried). A datagram longer than the slices
// fills them and fails with WSAEMSGSIZE, consumed.
TransferResult ReceiveOnce(Socket& socket, const winsock::sys::IoSlice* slices, int count,
                           int flags, sockaddr* from, int* fromlen);
// One non-blocking send of `slices` (EINTR retried); may send part of a stream's data.
TransferResult SendOnce(Socket& socket, const winsock::sys::IoSlice* slices, int count, int flags,
                        const sockaddr* to, int tolen);

// The WSABUF array as slices; WSAEFAULT (false) when the array is null with a nonzero count or
// a buffer is null with a nonzero length.
bool SlicesFromBuffers(const WSABUF* buffers, DWORD count,
                       std::vector<winsock::sys::IoSlice>* slices);

// The slices without their first `skip` bytes (what is left after a partial send).
std::vector<winsock::sys::IoSlice> SkipBytes(const std::vector<winsock::sys::IoSlice>& slices,
                                             size_t skip);

class OverlappedOp final : public kernel::PollSource {
  public:
    enum class Kind { kSend, kReceive };

    OverlappedOp(Kind kind, std::shared_ptr<Socket> socket, std::shared_ptr<kernel::Event> event,
                 OVERLAPPED* ov, std::vector<winsock::sys::IoSlice> slices, int flags,
                 const sockaddr* to, int tolen, sockaddr* from, int* fromlen);

    pollfd PollFd(const kernel::WaitLock&) const override;
    bool OnReady(const kernel::WaitLock& lock, short revents) override;
    void OnEventReset(const kernel::WaitLock& lock) override;

    // Tries the transfer now. True when the operation is over (completed: the OVERLAPPED holds
    // the result and the event is set by the caller or the wait).
    bool Attempt(const kernel::WaitLock& lock);
    // Drops the operation without touching the caller's memory; sets the event if asked.
    void Cancel(const kernel::WaitLock& lock, bool set_event);

    bool pending() const { return state_ == State::kPending; }
    bool aborted() const { return state_ == State::kAborted; }
    const OVERLAPPED* overlapped() const { return ov_; }
    Kind kind() const { return kind_; }
    // The transfer made so far (sends go on until every byte is sent).
    size_t progress() const { return done_; }

  private:
    enum class State { kPending, kCompleted, kAborted };
    // Detaches from the event and the socket (both under the lock).
    void Finish(const kernel::WaitLock& lock, State state);

    const Kind kind_;
    const std::weak_ptr<Socket> socket_;
    const std::weak_ptr<kernel::Event> event_;
    OVERLAPPED* const ov_;
    const std::vector<winsock::sys::IoSlice> slices_;
    const int flags_;
    unsigned char to_[winsock::sys::kMaxAddrLen];
    const int tolen_;
    sockaddr* const from_;
    int* const fromlen_;
    size_t total_ = 0;
    size_t done_ = 0;
    State state_ = State::kPending;
};

// Starts an overlapped transfer (the overlapped branch of WSASend/WSARecv/WSASendTo/
// WSARecvFrom). Returns 0 or SOCKET_ERROR with the last error set (WSA_IO_PENDING when pending).
int StartOverlapped(OverlappedOp::Kind kind, const std::shared_ptr<Socket>& socket,
                    const WSABUF* buffers, DWORD count, DWORD* transferred, DWORD* flags,
                    const sockaddr* to, int tolen, sockaddr* from, int* fromlen, OVERLAPPED* ov,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

}  // namespace k47::winsock
