// Linux implementation file of the platform layer: may include Linux system headers, but not the
// socket headers (winsock2.h is included; the Linux socket calls are behind socket_sys.h).
// send, recv, sendto, recvfrom, WSASend, WSARecv, WSASendTo and WSARecvFrom: the checks, the
// plain (blocking or non-blocking) transfers and the hand-over to the overlapped path.
#include "winsock/winsock_transfer.h"

#include <cerrno>
#include <cstring>

#include "winsock/winsock_error.h"
#include "winsock/winsock_overlapped.h"

namespace k47::winsock {

using kernel::WaitLock;
using winsock::sys::IoSlice;

int CheckReceiveFlags(DWORD flags, int* io_flags) {
    if ((flags & ~static_cast<DWORD>(MSG_PEEK | MSG_OOB)) != 0) {
        return WSAEOPNOTSUPP;
    }
    *io_flags = static_cast<int>(flags);  // same values on both systems
    return 0;
}

int CheckSendFlags(DWORD flags, int* io_flags) {
    if ((flags & ~static_cast<DWORD>(MSG_OOB)) != 0) {
        return WSAEOPNOTSUPP;
    }
    *io_flags = static_cast<int>(flags);
    return 0;
}

int CheckFromBuffer(const Socket& socket, const sockaddr* from, const int* fromlen) {
    if (from == nullptr) {
        return 0;
    }
    int need = socket.family() == AF_INET6 ? winsock::sys::kWinInet6AddrLen
                                           : winsock::sys::kWinInetAddrLen;
    return fromlen == nullptr || *fromlen < need ? WSAEFAULT : 0;
}

int StoredErrorForDataCall(const Socket& socket, int error) {
    if (!socket.stream() && error == ECONNREFUSED) {
        return WSAECONNRESET;
    }
    return WinsockErrorFromErrno(error);
}

int CheckReceive(const WaitLock& lock, Socket& socket) {
    if (socket.closed(lock)) {
        return WSAENOTSOCK;
    }
    if (!socket.stream()) {
        if (!socket.bound(lock)) {
            return WSAEINVAL;
        }
    } else {
        socket.RefreshConnect(lock);
        if (!socket.connected(lock)) {
            return WSAENOTCONN;
        }
    }
    int stored = socket.TakeStoredError(lock, true);
    return stored != 0 ? StoredErrorForDataCall(socket, stored) : 0;
}

namespace {

// True when `to` names the wildcard address or port 0, which Winsock refuses as a destination.
bool IsUnusableDestination(const sockaddr* to, int tolen) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(to);
    if (to->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(to);
        return in->sin_port == 0 || in->sin_addr.s_addr == 0;
    }
    if (to->sa_family == AF_INET6 && tolen >= winsock::sys::kWinInet6AddrLen) {
        uint16_t port;
        std::memcpy(&port, bytes + 2, sizeof(port));
        static const unsigned char kAny[16] = {};
        return port == 0 || std::memcmp(bytes + 8, kAny, sizeof(kAny)) == 0;
    }
    return false;
}

}  // namespace

int CheckSend(const WaitLock& lock, Socket& socket, const sockaddr* to, int tolen) {
    if (socket.closed(lock)) {
        return WSAENOTSOCK;
    }
    if (socket.send_shut(lock)) {
        return WSAESHUTDOWN;
    }
    if (!socket.stream()) {
        if (to != nullptr && tolen != 0) {
            if (tolen < winsock::sys::kWinInetAddrLen) {
                return WSAEFAULT;
            }
            if (IsUnusableDestination(to, tolen)) {
                return WSAEADDRNOTAVAIL;
            }
        } else if (!socket.connected(lock)) {
            return WSAENOTCONN;
        }
    } else {
        socket.RefreshConnect(lock);
        if (!socket.connected(lock)) {
            return WSAENOTCONN;
        }
    }
    int stored = socket.TakeStoredError(lock, true);
    return stored != 0 ? StoredErrorForDataCall(socket, stored) : 0;
}

std::vector<IoSlice> SkipBytes(const std::vector<IoSlice>& slices, size_t skip) {
    std::vector<IoSlice> rest;
    for (const IoSlice& s : slices) {
        if (skip >= s.size) {
            skip -= s.size;
            continue;
        }
        rest.push_back({static_cast<char*>(s.data) + skip, s.size - skip});
        skip = 0;
    }
    return rest;
}

namespace {

int ReceivePlain(Socket& socket, const WSABUF* buffers, DWORD count, DWORD* received, DWORD* flags,
                 sockaddr* from, int* fromlen) {
    int io_flags = 0;
    int error = CheckReceiveFlags(flags != nullptr ? *flags : 0, &io_flags);
    if (error == 0) {
        error = CheckFromBuffer(socket, from, fromlen);
    }
    std::vector<IoSlice> slices;
    if (error == 0 && !SlicesFromBuffers(buffers, count, &slices)) {
        error = WSAEFAULT;
    }
    {
        WaitLock lock;
        if (error == 0) {
            error = CheckReceive(lock, socket);
        }
        if (error != 0) {
            socket.ReenableRead(lock);  // any receive call re-enables, even a failing one
            return Fail(error);
        }
    }
    for (;;) {
        TransferResult r = ReceiveOnce(socket, slices.data(), static_cast<int>(slices.size()),
                                       io_flags, from, fromlen);
        bool nonblocking;
        {
            WaitLock lock;
            socket.ReenableRead(lock);
            nonblocking = socket.nonblocking(lock);
        }
        if (r.error == WSAEWOULDBLOCK && !nonblocking) {
            int wait = socket.WaitReady(POLLIN);
            if (wait != 0) {
                return Fail(wait);
            }
            continue;
        }
        if (r.error != 0 && r.error != WSAEMSGSIZE) {
            return Fail(r.error);
        }
        // A truncated datagram: the buffers hold its first part, the count says how much.
        *received = r.bytes;
        if (flags != nullptr) {
            *flags = 0;
        }
        return r.error != 0 ? Fail(r.error) : 0;
    }
}

int SendPlain(Socket& socket, const WSABUF* buffers, DWORD count, DWORD* sent, DWORD flags,
              const sockaddr* to, int tolen) {
    int io_flags = 0;
    int error = CheckSendFlags(flags, &io_flags);
    std::vector<IoSlice> slices;
    if (error == 0 && !SlicesFromBuffers(buffers, count, &slices)) {
        error = WSAEFAULT;
    }
    {
        WaitLock lock;
        if (error == 0) {
            error = CheckSend(lock, socket, to, tolen);
        }
        if (error != 0) {
            socket.NoteSend(lock, false);
            return Fail(error);
        }
    }
    size_t total = 0;
    for (const IoSlice& s : slices) {
        total += s.size;
    }
    size_t done = 0;
    for (;;) {
        std::vector<IoSlice> rest = SkipBytes(slices, done);
        TransferResult r =
            SendOnce(socket, rest.data(), static_cast<int>(rest.size()), io_flags, to, tolen);
        bool nonblocking;
        {
            WaitLock lock;
            nonblocking = socket.nonblocking(lock);
            socket.NoteSend(lock, r.error == WSAEWOULDBLOCK && nonblocking);
            if (r.error == 0 && !socket.stream()) {
                socket.MarkBound(lock);  // sendto binds an unbound socket implicitly
            }
        }
        if (r.error == WSAEWOULDBLOCK) {
            if (nonblocking) {
                if (done > 0) {
                    break;
                }
                return Fail(WSAEWOULDBLOCK);
            }
            int wait = socket.WaitReady(POLLOUT);
            if (wait != 0) {
                return Fail(wait);
            }
            continue;
        }
        if (r.error != 0) {
            return Fail(r.error);
        }
        done += r.bytes;
        // A blocking stream send ends when every byte is sent; the rest send what they can.
        if (!socket.stream() || nonblocking || done >= total) {
            break;
        }
    }
    *sent = static_cast<DWORD>(done);
    return 0;
}

int Receive(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags,
            sockaddr* from, LPINT fromlen, LPWSAOVERLAPPED ov,
            LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (flags == nullptr) {
        return Fail(WSAEFAULT);
    }
    if (socket->stream()) {
        from = nullptr;  // a connected socket has no sender to report
        fromlen = nullptr;
    }
    if (ov != nullptr) {
        return StartOverlapped(OverlappedOp::Kind::kReceive, socket, buffers, count, received,
                               flags, nullptr, 0, from, fromlen, ov, routine);
    }
    if (received == nullptr) {
        return Fail(WSAEFAULT);
    }
    return ReceivePlain(*socket, buffers, count, received, flags, from, fromlen);
}

int Send(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, const sockaddr* to,
         int tolen, LPWSAOVERLAPPED ov, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (socket->stream()) {
        to = nullptr;  // ignored on a connected socket, as on Windows
        tolen = 0;
    }
    if (ov != nullptr) {
        return StartOverlapped(OverlappedOp::Kind::kSend, socket, buffers, count, sent, &flags, to,
                               tolen, nullptr, nullptr, ov, routine);
    }
    if (sent == nullptr) {
        return Fail(WSAEFAULT);
    }
    return SendPlain(*socket, buffers, count, sent, flags, to, tolen);
}

}  // namespace

}  // namespace k47::winsock

namespace k47::winsock {

int send(SOCKET s, const char* buf, int len, int flags) {
    if (len < 0) {
        return winsock::Fail(WSAEFAULT);
    }
    WSABUF b{static_cast<ULONG>(len), const_cast<char*>(buf)};
    DWORD sent = 0;
    if (winsock::Send(s, &b, 1, &sent, static_cast<DWORD>(flags), nullptr, 0, nullptr, nullptr) !=
        0) {
        return SOCKET_ERROR;
    }
    return static_cast<int>(sent);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    if (len < 0) {
        return winsock::Fail(WSAEFAULT);
    }
    WSABUF b{static_cast<ULONG>(len), buf};
    DWORD received = 0;
    DWORD f = static_cast<DWORD>(flags);
    if (winsock::Receive(s, &b, 1, &received, &f, nullptr, nullptr, nullptr, nullptr) != 0) {
        return SOCKET_ERROR;
    }
    return static_cast<int>(received);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    if (len < 0) {
        return winsock::Fail(WSAEFAULT);
    }
    WSABUF b{static_cast<ULONG>(len), const_cast<char*>(buf)};
    DWORD sent = 0;
    if (winsock::Send(s, &b, 1, &sent, static_cast<DWORD>(flags), to, tolen, nullptr, nullptr) !=
        0) {
        return SOCKET_ERROR;
    }
    return static_cast<int>(sent);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    if (len < 0) {
        return winsock::Fail(WSAEFAULT);
    }
    WSABUF b{static_cast<ULONG>(len), buf};
    DWORD received = 0;
    DWORD f = static_cast<DWORD>(flags);
    if (winsock::Receive(s, &b, 1, &received, &f, from, fromlen, nullptr, nullptr) != 0) {
        return SOCKET_ERROR;
    }
    return static_cast<int>(received);
}

}  // namespace k47::winsock

EXTERN_C int WINAPI WSASend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                            LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                            LPWSAOVERLAPPED lpOverlapped,
                            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    return k47::winsock::Send(s, lpBuffers, dwBufferCount, lpNumberOfBytesSent, dwFlags, nullptr, 0,
                              lpOverlapped, lpCompletionRoutine);
}

EXTERN_C int WINAPI WSARecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                            LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags,
                            LPWSAOVERLAPPED lpOverlapped,
                            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    return k47::winsock::Receive(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags,
                                 nullptr, nullptr, lpOverlapped, lpCompletionRoutine);
}

EXTERN_C int WINAPI WSASendTo(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                              LPDWORD lpNumberOfBytesSent, DWORD dwFlags, const sockaddr* lpTo,
                              int iTolen, LPWSAOVERLAPPED lpOverlapped,
                              LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    return k47::winsock::Send(s, lpBuffers, dwBufferCount, lpNumberOfBytesSent, dwFlags, lpTo,
                              iTolen, lpOverlapped, lpCompletionRoutine);
}

EXTERN_C int WINAPI WSARecvFrom(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                                LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags, sockaddr* lpFrom,
                                LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped,
                                LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    return k47::winsock::Receive(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpFrom,
                                 lpFromlen, lpOverlapped, lpCompletionRoutine);
}
