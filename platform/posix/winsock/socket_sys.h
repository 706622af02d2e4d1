// Internal: the seam between the Winsock calls and the Linux socket API. The Winsock files include
// winsock2.h, whose POSIX-named declarations must never meet <sys/socket.h> in one translation
// unit, so everything that needs the Linux socket headers lives behind this header, which uses
// only neutral types: socket addresses cross it in the Windows layout (family 2 = IPv4, 23 =
// IPv6; the bytes after the family are the same on both systems) and option levels and names in
// their Windows values; the implementation converts.
//
// Errors follow the errno convention: -1 (or nullptr) with errno set; winsock_error.h maps errno
// to Winsock numbers. Every descriptor the seam creates is non-blocking and close-on-exec: the
// Winsock layer implements blocking calls itself (see winsock_socket.h).
//
// The calls of the data path go through a replaceable table (SocketSyscalls), so that tests can
// inject EINTR, EAGAIN, short transfers and connection errors. Threading: the table is
// process-wide and read without a lock; replace entries only while no socket call runs, and
// restore them with ScopedSocketSyscalls.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace k47::winsock::sys {

inline constexpr uint16_t kWinAfUnspec = 0;
inline constexpr uint16_t kWinAfInet = 2;
inline constexpr uint16_t kWinAfInet6 = 23;
inline constexpr int kWinInetAddrLen = 16;   // sockaddr_in
inline constexpr int kWinInet6AddrLen = 28;  // sockaddr_in6
inline constexpr int kMaxAddrLen = 128;      // sockaddr_storage

struct IoSlice {
    void* data;
    size_t size;
};

struct SocketSyscallTable {
    // A new socket; type and protocol have the same values on both systems.
    int (*open)(int win_family, int type, int protocol);
    int (*bind)(int fd, const void* win_addr, int len);
    int (*connect)(int fd, const void* win_addr, int len);
    int (*listen)(int fd, int backlog);
    // The new descriptor; the peer's address in *win_addr/*len when win_addr is not null.
    int (*accept)(int fd, void* win_addr, int* len);
    // Bytes sent (never raising SIGPIPE); `win_to` may be null.
    long (*send)(int fd, const IoSlice* slices, int count, const void* win_to, int tolen,
                 int flags);
    // Bytes placed in the slices; *truncated tells that a datagram was longer than the slices
    // (its excess is discarded). `win_from` may be null.
    long (*receive)(int fd, const IoSlice* slices, int count, void* win_from, int* fromlen,
                    int flags, bool* truncated);
    int (*poll)(pollfd* fds, nfds_t count, int timeout_ms);
};

// The live table; starts with the real calls.
SocketSyscallTable& SocketSyscalls() noexcept;
// The real calls, for fakes that forward to them.
const SocketSyscallTable& RealSocketSyscalls() noexcept;

class ScopedSocketSyscalls {
  public:
    ScopedSocketSyscalls() : saved_(SocketSyscalls()) {}
    ~ScopedSocketSyscalls() { SocketSyscalls() = saved_; }
    ScopedSocketSyscalls(const ScopedSocketSyscalls&) = delete;
    ScopedSocketSyscalls& operator=(const ScopedSocketSyscalls&) = delete;

  private:
    SocketSyscallTable saved_;
};

// Not in the table: calls without a failure mode worth injecting.
int LocalName(int fd, void* win_addr, int* len);
int PeerName(int fd, void* win_addr, int* len);
int Shutdown(int fd, int how);  // SD_RECEIVE/SD_SEND/SD_BOTH = SHUT_RD/SHUT_WR/SHUT_RDWR
// Options in Windows values (SOL_SOCKET 0xffff, IPPROTO_TCP 6, ...); ENOPROTOOPT for the ones
// not supported. Values are the 4-byte integers Windows uses.
int SetOption(int fd, int win_level, int win_name, const void* value, int len);
int GetOption(int fd, int win_level, int win_name, void* value, int* len);
// SO_ERROR, which reading clears: the pending error (0 if none), or -1 with errno.
int TakePendingError(int fd);
// FIONREAD: bytes queued for reading (for a datagram socket, the size of the next datagram).
int BytesReadable(int fd);

// An address of the resolver's result, in the Windows layout.
struct ResolvedAddress {
    int family;  // Windows value
    int socktype;
    int protocol;
    unsigned char addr[kWinInet6AddrLen];
    int addrlen;
    std::string canonical_name;  // only in the first result, when asked for
};

// getaddrinfo with Windows flag and family values. Returns 0 or a Winsock error number.
int Resolve(const char* node, const char* service, int win_flags, int win_family, int socktype,
            int protocol, std::vector<ResolvedAddress>* out);

// inet_pton/inet_ntop with Windows family values: EAFNOSUPPORT for other families; ENOSPC when
// the text does not fit.
int TextToAddress(int win_family, const char* text, void* addr);
const char* AddressToText(int win_family, const void* addr, char* text, size_t size);

}  // namespace k47::winsock::sys
