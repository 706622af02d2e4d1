// Linux implementation file of the platform layer: may include Linux system headers.
// The Linux side of the socket seam (socket_sys.h): address, option and flag conversion between
// the Windows values and Linux's, and the real calls behind the replaceable table. This file must
// never include winsock2.h (see its opening comment).
#include "winsock/socket_sys.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "winsock/winsock_error.h"

namespace k47::winsock::sys {

namespace {

// Windows option levels and names (winsock2.h values).
constexpr int kWinSolSocket = 0xffff;
constexpr int kWinIpprotoTcp = 6;
constexpr int kWinSoReuseAddr = 0x0004;
constexpr int kWinSoBroadcast = 0x0020;
constexpr int kWinSoSndBuf = 0x1001;
constexpr int kWinSoRcvBuf = 0x1002;
constexpr int kWinSoError = 0x1007;
constexpr int kWinTcpNoDelay = 0x0001;

// Windows getaddrinfo flags (ws2tcpip.h values).
constexpr int kWinAiPassive = 0x1;
constexpr int kWinAiCanonName = 0x2;
constexpr int kWinAiNumericHost = 0x4;
constexpr int kWinAiNumericServ = 0x8;

int LinuxFamily(int win_family) {
    switch (win_family) {
        case kWinAfUnspec:
            return AF_UNSPEC;
        case kWinAfInet:
            return AF_INET;
        case kWinAfInet6:
            return AF_INET6;
        default:
            return -1;
    }
}

uint16_t WindowsFamily(int linux_family) {
    return linux_family == AF_INET6 ? kWinAfInet6 : kWinAfInet;
}

// Windows-layout bytes → a Linux address. EAFNOSUPPORT for other families, EFAULT when `len` is
// shorter than the family's address.
bool ToLinux(const void* win_addr, int len, sockaddr_storage* out, socklen_t* out_len) {
    if (win_addr == nullptr || len < static_cast<int>(sizeof(uint16_t))) {
        errno = EFAULT;
        return false;
    }
    uint16_t family;
    std::memcpy(&family, win_addr, sizeof(family));
    int need;
    if (family == kWinAfInet) {
        need = kWinInetAddrLen;
    } else if (family == kWinAfInet6) {
        need = kWinInet6AddrLen;
    } else {
        errno = EAFNOSUPPORT;
        return false;
    }
    if (len < need) {
        errno = EFAULT;
        return false;
    }
    std::memset(out, 0, sizeof(*out));
    std::memcpy(out, win_addr, static_cast<size_t>(need));
    out->ss_family = static_cast<sa_family_t>(LinuxFamily(family));
    *out_len = static_cast<socklen_t>(need);
    return true;
}

// A Linux address → Windows-layout bytes; EFAULT when the buffer is too small.
bool ToWindows(const sockaddr_storage& addr, void* win_addr, int* len) {
    int need = addr.ss_family == AF_INET6 ? kWinInet6AddrLen : kWinInetAddrLen;
    if (win_addr == nullptr || len == nullptr || *len < need) {
        errno = EFAULT;
        return false;
    }
    std::memcpy(win_addr, &addr, static_cast<size_t>(need));
    uint16_t family = WindowsFamily(addr.ss_family);
    std::memcpy(win_addr, &family, sizeof(family));
    *len = need;
    return true;
}

int RealOpen(int win_family, int type, int protocol) {
    int family = LinuxFamily(win_family);
    if (family < 0 || family == AF_UNSPEC) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    return ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
}

int RealBind(int fd, const void* win_addr, int len) {
    sockaddr_storage addr;
    socklen_t addr_len;
    if (!ToLinux(win_addr, len, &addr, &addr_len)) {
        return -1;
    }
    return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), addr_len);
}

int RealConnect(int fd, const void* win_addr, int len) {
    sockaddr_storage addr;
    socklen_t addr_len;
    if (!ToLinux(win_addr, len, &addr, &addr_len)) {
        return -1;
    }
    return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), addr_len);
}

int RealListen(int fd, int backlog) {
    return ::listen(fd, backlog);
}

int RealAccept(int fd, void* win_addr, int* len) {
    sockaddr_storage addr{};
    socklen_t addr_len = sizeof(addr);
    int client =
        ::accept4(fd, reinterpret_cast<sockaddr*>(&addr), &addr_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0 || win_addr == nullptr) {
        return client;
    }
    if (!ToWindows(addr, win_addr, len)) {
        int saved = errno;
        ::close(client);
        errno = saved;
        return -1;
    }
    return client;
}

long RealSend(int fd, const IoSlice* slices, int count, const void* win_to, int tolen, int flags) {
    msghdr msg{};
    sockaddr_storage to;
    socklen_t to_len = 0;
    if (win_to != nullptr) {
        if (!ToLinux(win_to, tolen, &to, &to_len)) {
            return -1;
        }
        msg.msg_name = &to;
        msg.msg_namelen = to_len;
    }
    // IoSlice has iovec's layout; checked below so the cast stays honest.
    static_assert(sizeof(IoSlice) == sizeof(iovec) &&
                  offsetof(IoSlice, data) == offsetof(iovec, iov_base) &&
                  offsetof(IoSlice, size) == offsetof(iovec, iov_len));
    msg.msg_iov = reinterpret_cast<iovec*>(const_cast<IoSlice*>(slices));
    msg.msg_iovlen = static_cast<size_t>(count);
    return ::sendmsg(fd, &msg, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
}

long RealReceive(int fd, const IoSlice* slices, int count, void* win_from, int* fromlen, int flags,
                 bool* truncated) {
    msghdr msg{};
    sockaddr_storage from{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    msg.msg_iov = reinterpret_cast<iovec*>(const_cast<IoSlice*>(slices));
    msg.msg_iovlen = static_cast<size_t>(count);
    // MSG_TRUNC is read back from msg_flags only: as an input flag Linux would report the
    // datagram's full length instead of the bytes copied.
    long n = ::recvmsg(fd, &msg, (flags & ~MSG_TRUNC) | MSG_DONTWAIT);
    if (n < 0) {
        return n;
    }
    *truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    if (win_from != nullptr && msg.msg_namelen > 0) {
        if (!ToWindows(from, win_from, fromlen)) {
            return -1;
        }
    }
    return n;
}

int RealPoll(pollfd* fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
}

constexpr SocketSyscallTable kReal = {RealOpen,   RealBind, RealConnect, RealListen,
                                      RealAccept, RealSend, RealReceive, RealPoll};

// Maps a Windows option to Linux; false for options not supported.
bool LinuxOption(int win_level, int win_name, int* level, int* name) {
    if (win_level == kWinSolSocket) {
        *level = SOL_SOCKET;
        switch (win_name) {
            case kWinSoReuseAddr:
                *name = SO_REUSEADDR;
                return true;
            case kWinSoBroadcast:
                *name = SO_BROADCAST;
                return true;
            case kWinSoSndBuf:
                *name = SO_SNDBUF;
                return true;
            case kWinSoRcvBuf:
                *name = SO_RCVBUF;
                return true;
            case kWinSoError:
                *name = SO_ERROR;
                return true;
            default:
                return false;
        }
    }
    if (win_level == kWinIpprotoTcp && win_name == kWinTcpNoDelay) {
        *level = IPPROTO_TCP;
        *name = TCP_NODELAY;
        return true;
    }
    return false;
}

int ResolverError(int gai_error, int saved_errno) {
    switch (gai_error) {
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_FAIL:
            return WSANO_RECOVERY;
        case EAI_FAMILY:
            return WSAEAFNOSUPPORT;
        case EAI_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EAI_SERVICE:
            return WSATYPE_NOT_FOUND;
        case EAI_SOCKTYPE:
            return WSAESOCKTNOSUPPORT;
        case EAI_BADFLAGS:
            return WSAEINVAL;
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return WSANO_DATA;  // the name exists but has no address of the kind asked for
        case EAI_SYSTEM:
            return winsock::WinsockErrorFromErrno(saved_errno);
        default:
            return WSANO_RECOVERY;
    }
}

}  // namespace

SocketSyscallTable& SocketSyscalls() noexcept {
    static SocketSyscallTable table = kReal;
    return table;
}

const SocketSyscallTable& RealSocketSyscalls() noexcept {
    return kReal;
}

int LocalName(int fd, void* win_addr, int* len) {
    sockaddr_storage addr{};
    socklen_t addr_len = sizeof(addr);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0) {
        return -1;
    }
    return ToWindows(addr, win_addr, len) ? 0 : -1;
}

int PeerName(int fd, void* win_addr, int* len) {
    sockaddr_storage addr{};
    socklen_t addr_len = sizeof(addr);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0) {
        return -1;
    }
    return ToWindows(addr, win_addr, len) ? 0 : -1;
}

int Shutdown(int fd, int how) {
    static_assert(SHUT_RD == 0 && SHUT_WR == 1 && SHUT_RDWR == 2, "SD_* values");
    return ::shutdown(fd, how);
}

int SetOption(int fd, int win_level, int win_name, const void* value, int len) {
    int level, name;
    if (!LinuxOption(win_level, win_name, &level, &name) || name == SO_ERROR) {
        errno = ENOPROTOOPT;
        return -1;
    }
    if (value == nullptr || len < static_cast<int>(sizeof(int))) {
        errno = EFAULT;
        return -1;
    }
    int v;
    std::memcpy(&v, value, sizeof(v));
    if (name == SO_REUSEADDR || name == SO_BROADCAST || name == TCP_NODELAY) {
        v = v != 0 ? 1 : 0;  // BOOL options
    }
    return ::setsockopt(fd, level, name, &v, sizeof(v));
}

int GetOption(int fd, int win_level, int win_name, void* value, int* len) {
    int level, name;
    if (!LinuxOption(win_level, win_name, &level, &name)) {
        errno = ENOPROTOOPT;
        return -1;
    }
    if (value == nullptr || len == nullptr || *len < static_cast<int>(sizeof(int))) {
        errno = EFAULT;
        return -1;
    }
    int v = 0;
    socklen_t v_len = sizeof(v);
    if (::getsockopt(fd, level, name, &v, &v_len) != 0) {
        return -1;
    }
    if (name == SO_ERROR) {
        v = v != 0 ? winsock::WinsockErrorFromErrno(v) : 0;
    } else if (name == SO_SNDBUF || name == SO_RCVBUF) {
        v /= 2;  // Linux reports twice the size asked for (its bookkeeping); Windows the size
    }
    std::memcpy(value, &v, sizeof(v));
    *len = sizeof(int);
    return 0;
}

int TakePendingError(int fd) {
    int v = 0;
    socklen_t v_len = sizeof(v);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &v, &v_len) != 0) {
        return -1;
    }
    return v;
}

int BytesReadable(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

int Resolve(const char* node, const char* service, int win_flags, int win_family, int socktype,
            int protocol, std::vector<ResolvedAddress>* out) {
    constexpr int kKnown = kWinAiPassive | kWinAiCanonName | kWinAiNumericHost | kWinAiNumericServ;
    if ((win_flags & ~kKnown) != 0) {
        return WSAEINVAL;
    }
    int family = LinuxFamily(win_family);
    if (family < 0) {
        return WSAEAFNOSUPPORT;
    }
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = socktype;
    hints.ai_protocol = protocol;
    hints.ai_flags = ((win_flags & kWinAiPassive) ? AI_PASSIVE : 0) |
                     ((win_flags & kWinAiCanonName) ? AI_CANONNAME : 0) |
                     ((win_flags & kWinAiNumericHost) ? AI_NUMERICHOST : 0) |
                     ((win_flags & kWinAiNumericServ) ? AI_NUMERICSERV : 0);
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(node, service, &hints, &list);
    if (rc != 0) {
        return ResolverError(rc, errno);
    }
    try {
        for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
            if (a->ai_family != AF_INET && a->ai_family != AF_INET6) {
                continue;
            }
            ResolvedAddress r{};
            r.family = WindowsFamily(a->ai_family);
            r.socktype = a->ai_socktype;
            r.protocol = a->ai_protocol;
            sockaddr_storage storage{};
            std::memcpy(&storage, a->ai_addr, a->ai_addrlen);
            r.addrlen = sizeof(r.addr);
            ToWindows(storage, r.addr, &r.addrlen);
            if (out->empty() && a->ai_canonname != nullptr) {
                r.canonical_name = a->ai_canonname;
            }
            out->push_back(std::move(r));
        }
    } catch (...) {
        ::freeaddrinfo(list);
        out->clear();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    ::freeaddrinfo(list);
    return out->empty() ? WSANO_DATA : 0;
}

int TextToAddress(int win_family, const char* text, void* addr) {
    int family = LinuxFamily(win_family);
    if (family != AF_INET && family != AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    return ::inet_pton(family, text, addr);
}

const char* AddressToText(int win_family, const void* addr, char* text, size_t size) {
    int family = LinuxFamily(win_family);
    if (family != AF_INET && family != AF_INET6) {
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    return ::inet_ntop(family, addr, text, static_cast<socklen_t>(size));
}

}  // namespace k47::winsock::sys
