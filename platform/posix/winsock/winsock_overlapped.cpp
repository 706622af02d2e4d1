// Linux implementation file of the platform layer: may include Linux system headers, but not the
// socket headers (winsock2.h is included; the Linux socket calls are behind socket_sys.h).
// Single transfers, overlapped operations and WSAGetOverlappedResult (see winsock_overlapped.h).
#include "winsock/winsock_overlapped.h"

#include <cerrno>
#include <cstring>

#include "support/eintr.h"
#include "synchapi.h"
#include "winsock/winsock_error.h"
#include "winsock/winsock_transfer.h"

namespace k47::winsock {

using kernel::WaitLock;
using winsock::sys::IoSlice;

bool SlicesFromBuffers(const WSABUF* buffers, DWORD count, std::vector<IoSlice>* slices) {
    if (count != 0 && buffers == nullptr) {
        return false;
    }
    slices->clear();
    slices->reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        if (buffers[i].buf == nullptr && buffers[i].len != 0) {
            return false;
        }
        slices->push_back({buffers[i].buf, buffers[i].len});
    }
    return true;
}

TransferResult ReceiveOnce(Socket& socket, const IoSlice* slices, int count, int flags,
                           sockaddr* from, int* fromlen) {
    bool truncated = false;
    long n = support::RetryOnEintr([&] {
        truncated = false;
        return winsock::sys::SocketSyscalls().receive(socket.fd(), slices, count, from, fromlen,
                                                      flags, &truncated);
    });
    if (n < 0) {
        return {WinsockErrorFromErrno(errno), 0};
    }
    if (truncated && !socket.stream()) {
        return {WSAEMSGSIZE, static_cast<DWORD>(n)};
    }
    return {0, static_cast<DWORD>(n)};
}

TransferResult SendOnce(Socket& socket, const IoSlice* slices, int count, int flags,
                        const sockaddr* to, int tolen) {
    long n = support::RetryOnEintr([&] {
        return winsock::sys::SocketSyscalls().send(socket.fd(), slices, count, to, tolen, flags);
    });
    if (n < 0) {
        return {WinsockErrorFromErrno(errno), 0};
    }
    return {0, static_cast<DWORD>(n)};
}

OverlappedOp::OverlappedOp(Kind kind, std::shared_ptr<Socket> socket,
                           std::shared_ptr<kernel::Event> event, OVERLAPPED* ov,
                           std::vector<IoSlice> slices, int flags, const sockaddr* to, int tolen,
                           sockaddr* from, int* fromlen)
    : kind_(kind),
      socket_(socket),
      event_(event),
      ov_(ov),
      slices_(std::move(slices)),
      flags_(flags),
      to_{},
      tolen_(to != nullptr ? std::min(tolen, winsock::sys::kMaxAddrLen) : 0),
      from_(from),
      fromlen_(fromlen) {
    if (to != nullptr) {
        std::memcpy(to_, to, static_cast<size_t>(tolen_));  // lpTo need not outlive the call
    }
    for (const IoSlice& s : slices_) {
        total_ += s.size;
    }
}

pollfd OverlappedOp::PollFd(const WaitLock& lock) const {
    auto socket = socket_.lock();
    if (state_ != State::kPending || !socket || socket->closed(lock)) {
        return {-1, 0, 0};
    }
    return {socket->fd(), static_cast<short>(kind_ == Kind::kReceive ? POLLIN : POLLOUT), 0};
}

bool OverlappedOp::OnReady(const WaitLock& lock, short) {
    return Attempt(lock) && state_ == State::kCompleted;
}

void OverlappedOp::OnEventReset(const WaitLock& lock) {
    Cancel(lock, false);
}

bool OverlappedOp::Attempt(const WaitLock& lock) {
    if (state_ != State::kPending) {
        return true;
    }
    auto socket = socket_.lock();
    if (!socket || socket->closed(lock)) {
        Cancel(lock, false);
        return true;
    }
    TransferResult result;
    if (kind_ == Kind::kReceive) {
        int stored = socket->TakeStoredError(lock, true);
        if (stored != 0) {
            result = {StoredErrorForDataCall(*socket, stored), 0};
        } else {
            result = ReceiveOnce(*socket, slices_.data(), static_cast<int>(slices_.size()), flags_,
                                 from_, fromlen_);
        }
        socket->ReenableRead(lock);
        if (result.error == WSAEWOULDBLOCK) {
            return false;
        }
    } else {
        // What is left after a partial send of a stream.
        std::vector<IoSlice> rest = SkipBytes(slices_, done_);
        const sockaddr* to = tolen_ > 0 ? reinterpret_cast<const sockaddr*>(to_) : nullptr;
        result = SendOnce(*socket, rest.data(), static_cast<int>(rest.size()), flags_, to, tolen_);
        socket->NoteSend(lock, false);
        if (result.error == WSAEWOULDBLOCK) {
            return false;
        }
        if (result.error == 0) {
            done_ += result.bytes;
            if (socket->stream() && done_ < total_) {
                return false;  // an overlapped send ends when every byte is sent
            }
            result.bytes = static_cast<DWORD>(done_);
        }
    }
    if (result.error == 0 || result.error == WSAEMSGSIZE) {
        ov_->InternalHigh = result.bytes;
    }
    ov_->Offset = 0;  // no flags are reported
    ov_->Internal = static_cast<ULONG_PTR>(result.error);
    Finish(lock, State::kCompleted);
    return true;
}

void OverlappedOp::Cancel(const WaitLock& lock, bool set_event) {
    if (state_ != State::kPending) {
        return;
    }
    Finish(lock, State::kAborted);
    if (set_event) {
        if (auto event = event_.lock()) {
            event->Set(lock);
        }
    }
}

void OverlappedOp::Finish(const WaitLock& lock, State state) {
    state_ = state;
    if (auto event = event_.lock()) {
        event->DetachSource(lock, this);
    }
    if (auto socket = socket_.lock()) {
        socket->RemoveOperation(lock, this);
    }
}

int StartOverlapped(OverlappedOp::Kind kind, const std::shared_ptr<Socket>& socket,
                    const WSABUF* buffers, DWORD count, DWORD* transferred, DWORD* flags,
                    const sockaddr* to, int tolen, sockaddr* from, int* fromlen, OVERLAPPED* ov,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    if (routine != nullptr) {
        return Fail(WSAEINVAL);  // completion routines need alertable waits: not supported
    }
    auto event = kernel::LookupHandleAs<kernel::Event>(ov->hEvent);
    if (!event) {
        return Fail(WSA_INVALID_HANDLE);
    }
    std::vector<IoSlice> slices;
    if (!SlicesFromBuffers(buffers, count, &slices)) {
        return Fail(WSAEFAULT);
    }
    int io_flags = 0;
    if (kind == OverlappedOp::Kind::kReceive) {
        int error = CheckReceiveFlags(flags != nullptr ? *flags : 0, &io_flags);
        if (error == 0) {
            error = CheckFromBuffer(*socket, from, fromlen);
        }
        if (error != 0) {
            return Fail(error);
        }
    } else {
        int error = CheckSendFlags(flags != nullptr ? *flags : 0, &io_flags);
        if (error != 0) {
            return Fail(error);
        }
    }
    auto op = std::make_shared<OverlappedOp>(kind, socket, event, ov, std::move(slices), io_flags,
                                             to, tolen, from, fromlen);
    WaitLock lock;
    int error = kind == OverlappedOp::Kind::kReceive ? CheckReceive(lock, *socket)
                                                     : CheckSend(lock, *socket, to, tolen);
    if (error != 0) {
        if (kind == OverlappedOp::Kind::kReceive) {
            socket->ReenableRead(lock);
        } else {
            socket->NoteSend(lock, false);
        }
        return Fail(error);
    }
    ov->Internal = kPendingStatus;
    ov->InternalHigh = 0;
    if (op->Attempt(lock)) {
        if (op->aborted()) {
            return Fail(WSAENOTSOCK);  // closed by another thread meanwhile
        }
        auto result = static_cast<int>(ov->Internal);
        if (result != 0) {
            // Not started: no completion will be indicated.
            return Fail(result);
        }
        event->Set(lock);
        if (transferred != nullptr) {
            *transferred = static_cast<DWORD>(ov->InternalHigh);
        }
        if (flags != nullptr && kind == OverlappedOp::Kind::kReceive) {
            *flags = 0;
        }
        return 0;
    }
    // Pending. The reset first, so that it cancels what was pending on this event before, not
    // this operation.
    event->Reset(lock);
    socket->AddOperation(lock, op);
    event->AttachSource(lock, op);
    return Fail(WSA_IO_PENDING);
}

namespace {

BOOL Report(const WaitLock&, const OVERLAPPED* ov, DWORD* transferred, DWORD* flags) {
    if (ov->Internal != 0) {
        SetLastError(static_cast<DWORD>(ov->Internal));
        return FALSE;
    }
    *transferred = static_cast<DWORD>(ov->InternalHigh);
    *flags = ov->Offset;
    return TRUE;
}

}  // namespace

}  // namespace k47::winsock

using k47::winsock::Fail;
using k47::winsock::kPendingStatus;
using k47::winsock::OverlappedOp;
using k47::winsock::Socket;

EXTERN_C BOOL WINAPI WSAGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped,
                                            LPDWORD lpcbTransfer, BOOL fWait, LPDWORD lpdwFlags) {
    if (lpOverlapped == nullptr || lpcbTransfer == nullptr || lpdwFlags == nullptr) {
        Fail(WSAEFAULT);
        return FALSE;
    }
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return FALSE;
    }
    std::shared_ptr<OverlappedOp> op;
    const HANDLE event = lpOverlapped->hEvent;
    // Looked up before the WaitLock: no handle-table lookup (or its release) under it.
    auto event_object = k47::kernel::LookupHandleAs<k47::kernel::Event>(event);
    {
        k47::kernel::WaitLock lock;
        if (lpOverlapped->Internal != kPendingStatus) {
            return k47::winsock::Report(lock, lpOverlapped, lpcbTransfer, lpdwFlags);
        }
        op = socket->FindOperation(lock, lpOverlapped);
        if (!op) {
            // Cancelled by a reset of its event: nothing was or will be written.
            Fail(WSA_OPERATION_ABORTED);
            return FALSE;
        }
        if (op->Attempt(lock)) {
            if (op->aborted()) {
                Fail(WSA_OPERATION_ABORTED);
                return FALSE;
            }
            if (event_object) {
                event_object->Set(lock);  // completed here rather than in a wait: signal it too
            }
            return k47::winsock::Report(lock, lpOverlapped, lpcbTransfer, lpdwFlags);
        }
    }
    if (!fWait) {
        Fail(WSA_IO_INCOMPLETE);
        return FALSE;
    }
    // The wait performs the transfer when the socket becomes ready.
    if (WaitForSingleObject(event, INFINITE) == WAIT_FAILED) {
        Fail(WSA_INVALID_HANDLE);
        return FALSE;
    }
    k47::kernel::WaitLock lock;
    if (op->aborted()) {
        Fail(WSA_OPERATION_ABORTED);
        return FALSE;
    }
    if (op->pending()) {
        Fail(WSA_IO_INCOMPLETE);  // the event was set by someone else
        return FALSE;
    }
    return k47::winsock::Report(lock, lpOverlapped, lpcbTransfer, lpdwFlags);
}
