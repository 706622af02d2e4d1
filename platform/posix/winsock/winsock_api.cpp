// Linux implementation file of the platform layer: may include Linux system headers, but not the
// socket headers (winsock2.h is included; the Linux socket calls are behind socket_sys.h).
// WSAStartup/WSACleanup and the last error, socket creation, addresses, connections, options,
// shutdown, closesocket and ioctlsocket.
#include <sys/eventfd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "errhandlingapi.h"
#include "support/boundary.h"
#include "winsock/socket_sys.h"
#include "winsock/winsock_error.h"
#include "winsock/winsock_socket.h"

namespace k47::winsock {

namespace {

using kernel::WaitLock;

constexpr WORD kHighestVersion = MAKEWORD(2, 2);

std::mutex& StartMutex() {
    static std::mutex* mutex = new std::mutex;  // never destroyed: WSACleanup may run at exit
    return *mutex;
}

int g_start_count = 0;  // under StartMutex
std::atomic<bool> g_started{false};

// Connection outcomes that a non-blocking connect reports through FD_CONNECT, not at once.
bool IsConnectOutcome(int error) {
    return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH ||
           error == ETIMEDOUT;
}

SOCKET CreateSocket(int af, int type, int protocol) {
    if (af != AF_INET && af != AF_INET6) {
        Fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (type != SOCK_STREAM && type != SOCK_DGRAM) {
        Fail(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    support::UniqueFd fd(winsock::sys::SocketSyscalls().open(af, type, protocol));
    if (!fd) {
        FailErrno(errno);
        return INVALID_SOCKET;
    }
    support::UniqueFd cancel(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!cancel) {
        FailErrno(errno);
        return INVALID_SOCKET;
    }
    auto fail = [](int error) {
        return [error] {
            Fail(error);
            return INVALID_SOCKET;
        };
    };
    return support::Boundary(fail(WSAENOBUFS), fail(WSANO_RECOVERY), [&] {
        return Socket::Register(
            std::make_shared<Socket>(std::move(fd), std::move(cancel), af, type));
    });
}

int Connect(SOCKET s, const sockaddr* name, int namelen) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (name == nullptr) {
        return Fail(WSAEFAULT);
    }
    bool nonblocking;
    {
        WaitLock lock;
        if (socket->listening(lock)) {
            return Fail(WSAEINVAL);
        }
        if (socket->stream()) {
            socket->RefreshConnect(lock);
            if (socket->connecting(lock)) {
                return Fail(WSAEALREADY);
            }
            if (socket->connected(lock)) {
                return Fail(WSAEISCONN);
            }
        }
        nonblocking = socket->nonblocking(lock);
    }
    int rc = winsock::sys::SocketSyscalls().connect(socket->fd(), name, namelen);
    int error = rc == 0 ? 0 : errno;
    if (!socket->stream()) {
        if (error != 0) {
            return FailErrno(error);
        }
        WaitLock lock;
        socket->MarkDatagramConnected(lock);
        socket->MarkBound(lock);
        return 0;
    }
    if (error == EINTR) {
        error = EINPROGRESS;  // the connection goes on in the background
    }
    if (error != 0 && error != EINPROGRESS && !IsConnectOutcome(error)) {
        return FailErrno(error);  // a bad address or state: no connect was started
    }
    if (nonblocking) {
        // Winsock reports the outcome of a non-blocking connect only through FD_CONNECT and
        // SO_ERROR, even when it is known at once.
        WaitLock lock;
        socket->NoteConnectStarted(lock, error);
        return error == 0 ? 0 : Fail(WSAEWOULDBLOCK);
    }
    if (error == EINPROGRESS) {
        {
            WaitLock lock;
            socket->NoteConnectStarted(lock, EINPROGRESS);
        }
        int wait = socket->WaitReady(POLLOUT);
        if (wait != 0) {
            return Fail(wait);
        }
        WaitLock lock;
        socket->RefreshConnect(lock);
        if (socket->connected(lock)) {
            return 0;
        }
        int stored = socket->TakeStoredError(lock, false);
        return FailErrno(stored != 0 ? stored : ECONNREFUSED);
    }
    WaitLock lock;
    socket->NoteConnectStarted(lock, error);
    if (error != 0) {
        socket->TakeStoredError(lock, false);  // reported here, not again by SO_ERROR
        return FailErrno(error);
    }
    return 0;
}

}  // namespace

bool LibraryStarted() noexcept {
    return g_started.load(std::memory_order_acquire);
}

}  // namespace k47::winsock

using k47::winsock::Fail;
using k47::winsock::FailErrno;
using k47::winsock::Socket;

EXTERN_C int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    if (lpWSAData == nullptr) {
        return WSAEFAULT;
    }
    BYTE major = LOBYTE(wVersionRequested);
    BYTE minor = HIBYTE(wVersionRequested);
    if (major < 1) {
        return WSAVERNOTSUPPORTED;  // 0.x: below every version Windows Sockets 2 offers
    }
    // A request above 2.2 gets 2.2; anything from 1.0 up to 2.2 gets what it asked for.
    WORD version = (major > 2 || (major == 2 && minor > 2)) ? k47::winsock::kHighestVersion
                                                            : wVersionRequested;
    std::memset(lpWSAData, 0, sizeof(*lpWSAData));
    lpWSAData->wVersion = version;
    lpWSAData->wHighVersion = k47::winsock::kHighestVersion;
    std::strcpy(lpWSAData->szDescription, "WinSock 2.0");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    std::lock_guard<std::mutex> guard(k47::winsock::StartMutex());
    ++k47::winsock::g_start_count;
    k47::winsock::g_started.store(true, std::memory_order_release);
    return 0;
}

EXTERN_C int WINAPI WSACleanup(void) {
    std::lock_guard<std::mutex> guard(k47::winsock::StartMutex());
    if (k47::winsock::g_start_count == 0) {
        return Fail(WSANOTINITIALISED);
    }
    if (--k47::winsock::g_start_count == 0) {
        k47::winsock::g_started.store(false, std::memory_order_release);
        Socket::CloseAll();
    }
    return 0;
}

// The thread's last error, shared with GetLastError as on Windows.
EXTERN_C int WINAPI WSAGetLastError(void) {
    return static_cast<int>(GetLastError());
}

EXTERN_C void WINAPI WSASetLastError(int iError) {
    SetLastError(static_cast<DWORD>(iError));
}

EXTERN_C SOCKET WINAPI WSASocketA(int af, int type, int protocol,
                                  LPWSAPROTOCOL_INFOA lpProtocolInfo, GROUP g, DWORD dwFlags) {
    if (!k47::winsock::LibraryStarted()) {
        Fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    // Protocol-info records, socket groups and flags other than WSA_FLAG_OVERLAPPED are not
    // supported (every socket here accepts overlapped calls).
    if (lpProtocolInfo != nullptr || g != 0 ||
        (dwFlags & ~static_cast<DWORD>(WSA_FLAG_OVERLAPPED))) {
        Fail(WSAEINVAL);
        return INVALID_SOCKET;
    }
    return k47::winsock::CreateSocket(af, type, protocol);
}

EXTERN_C int WINAPI closesocket(SOCKET s) {
    return Socket::Close(s) ? 0 : SOCKET_ERROR;
}

EXTERN_C int WINAPI ioctlsocket(SOCKET s, LONG cmd, ULONG* argp) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (argp == nullptr) {
        return Fail(WSAEFAULT);
    }
    if (static_cast<ULONG>(cmd) == FIONBIO) {
        k47::kernel::WaitLock lock;
        int error = socket->SetNonBlocking(lock, *argp != 0);
        return error != 0 ? Fail(error) : 0;
    }
    if (static_cast<ULONG>(cmd) == FIONREAD) {
        int n = k47::winsock::sys::BytesReadable(socket->fd());
        if (n < 0) {
            return FailErrno(errno);
        }
        *argp = static_cast<ULONG>(n);
        return 0;
    }
    return Fail(WSAEINVAL);
}

EXTERN_C int WINAPI WSAConnect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF lpCallerData,
                               LPWSABUF lpCalleeData, LPQOS lpSQOS, LPQOS lpGQOS) {
    // Connect data and quality of service are not supported by TCP/IP either.
    if ((lpCallerData != nullptr && lpCallerData->len != 0) || lpSQOS != nullptr ||
        lpGQOS != nullptr) {
        return Fail(WSAEOPNOTSUPP);
    }
    if (lpCalleeData != nullptr) {
        lpCalleeData->len = 0;
    }
    return k47::winsock::Connect(s, name, namelen);
}

namespace k47::winsock {

using kernel::WaitLock;

SOCKET socket(int af, int type, int protocol) {
    return WSASocketA(af, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (name == nullptr) {
        return Fail(WSAEFAULT);
    }
    if (winsock::sys::SocketSyscalls().bind(socket->fd(), name, namelen) != 0) {
        return FailErrno(errno);
    }
    WaitLock lock;
    socket->MarkBound(lock);
    return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (name == nullptr || namelen == nullptr) {
        return Fail(WSAEFAULT);
    }
    {
        WaitLock lock;
        if (!socket->bound(lock)) {
            return Fail(WSAEINVAL);  // Winsock: an unbound socket has no name
        }
    }
    return winsock::sys::LocalName(socket->fd(), name, namelen) == 0 ? 0 : FailErrno(errno);
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (name == nullptr || namelen == nullptr) {
        return Fail(WSAEFAULT);
    }
    return winsock::sys::PeerName(socket->fd(), name, namelen) == 0 ? 0 : FailErrno(errno);
}

int listen(SOCKET s, int backlog) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (!socket->stream()) {
        return Fail(WSAEOPNOTSUPP);
    }
    {
        WaitLock lock;
        if (!socket->bound(lock) || socket->connected(lock) || socket->connecting(lock)) {
            return Fail(socket->bound(lock) ? WSAEISCONN : WSAEINVAL);
        }
    }
    if (winsock::sys::SocketSyscalls().listen(socket->fd(), backlog) != 0) {
        return FailErrno(errno);
    }
    WaitLock lock;
    socket->MarkListening(lock);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    auto listener = Socket::Lookup(s);
    if (!listener) {
        return INVALID_SOCKET;
    }
    if (addr != nullptr &&
        (addrlen == nullptr ||
         *addrlen < (listener->family() == AF_INET6 ? winsock::sys::kWinInet6AddrLen
                                                    : winsock::sys::kWinInetAddrLen))) {
        Fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    {
        WaitLock lock;
        if (!listener->listening(lock)) {
            Fail(WSAEINVAL);
            return INVALID_SOCKET;
        }
    }
    for (;;) {
        int fd = winsock::sys::SocketSyscalls().accept(listener->fd(), addr, addrlen);
        int error = fd < 0 ? errno : 0;
        support::UniqueFd client(fd);
        bool nonblocking;
        {
            WaitLock lock;
            listener->ReenableAccept(lock);
            nonblocking = listener->nonblocking(lock);
        }
        if (error == EINTR || ((error == EAGAIN || error == EWOULDBLOCK) && !nonblocking)) {
            int wait = error == EINTR ? 0 : listener->WaitReady(POLLIN);
            if (wait != 0) {
                Fail(wait);
                return INVALID_SOCKET;
            }
            continue;
        }
        if (error != 0) {
            FailErrno(error);
            return INVALID_SOCKET;
        }
        support::UniqueFd cancel(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!cancel) {
            FailErrno(errno);
            return INVALID_SOCKET;
        }
        std::shared_ptr<Socket> accepted;
        try {
            accepted = std::make_shared<Socket>(std::move(client), std::move(cancel),
                                                listener->family(), SOCK_STREAM);
        } catch (const std::bad_alloc&) {
            Fail(WSAENOBUFS);
            return INVALID_SOCKET;
        }
        {
            WaitLock lock;
            accepted->MarkAccepted(lock);
            accepted->InheritSelection(lock, *listener);
        }
        return Socket::Register(std::move(accepted));
    }
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
    return winsock::Connect(s, name, namelen);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    return winsock::sys::SetOption(socket->fd(), level, optname, optval, optlen) == 0
               ? 0
               : FailErrno(errno);
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (level == SOL_SOCKET && optname == SO_ERROR && optval != nullptr && optlen != nullptr &&
        *optlen >= static_cast<int>(sizeof(int))) {
        // An error taken from the socket while watching it comes first.
        int stored;
        {
            WaitLock lock;
            stored = socket->TakeStoredError(lock, false);
        }
        if (stored != 0) {
            int value = winsock::WinsockErrorFromErrno(stored);
            std::memcpy(optval, &value, sizeof(value));
            *optlen = sizeof(value);
            return 0;
        }
    }
    return winsock::sys::GetOption(socket->fd(), level, optname, optval, optlen) == 0
               ? 0
               : FailErrno(errno);
}

int shutdown(SOCKET s, int how) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) {
        return Fail(WSAEINVAL);
    }
    if (winsock::sys::Shutdown(socket->fd(), how) != 0) {
        return FailErrno(errno);
    }
    WaitLock lock;
    socket->MarkShutdown(lock, how);
    return 0;
}

}  // namespace k47::winsock
