// Windows Sockets 2: the calls the system makes, with Winsock semantics (WSAStartup counting,
// WSAEventSelect signalling an event while the selected condition holds, overlapped WSASend/WSARecv
// completing through an event, WSAEMSGSIZE for a datagram longer than the buffer, Winsock error
// numbers from WSAGetLastError).
//
// The socket calls whose names POSIX also uses (bind, getsockname, getaddrinfo, htons, ...) and the
// socket address types are declared in namespace k47::winsock and brought into the global namespace
// with using-declarations, so that they never collide with the C library's symbols in one process.
//
// SOCKET values are handles of the platform's handle table: valid until closesocket (CloseHandle
// closes a socket too), never equal to another live HANDLE, and a closed value fails with
// WSAENOTSOCK. Every call is thread-safe. Overlapped operations complete only while someone waits
// on their event or calls WSAGetOverlappedResult; closing the socket or resetting the event
// cancels them without touching the caller's buffers (platform/posix/winsock_overlapped.h).
// Completion routines, protocol-info records and socket groups are not supported.
#pragma once

#include "windows.h"

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)
typedef HANDLE WSAEVENT;
typedef unsigned int GROUP;
typedef OVERLAPPED WSAOVERLAPPED;
typedef OVERLAPPED* LPWSAOVERLAPPED;
typedef int* LPINT;
typedef USHORT ADDRESS_FAMILY;
#define WSA_INVALID_EVENT ((WSAEVENT)NULL)
#define WSA_IO_PENDING (ERROR_IO_PENDING)
#define WSA_IO_INCOMPLETE (ERROR_IO_INCOMPLETE)
#define WSA_INVALID_HANDLE (ERROR_INVALID_HANDLE)
#define WSA_INVALID_PARAMETER (ERROR_INVALID_PARAMETER)
#define WSA_OPERATION_ABORTED (ERROR_OPERATION_ABORTED)
#define WSA_WAIT_FAILED (WAIT_FAILED)
#define WSA_WAIT_EVENT_0 (WAIT_OBJECT_0)
#define WSA_WAIT_TIMEOUT (WAIT_TIMEOUT)
#define WSA_INFINITE (INFINITE)
#define WSA_FLAG_OVERLAPPED 0x01

#define AF_UNSPEC 0
#define AF_INET 2
#define AF_INET6 23
#define PF_INET AF_INET
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_IP 0
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define INADDR_ANY ((ULONG)0x00000000)
#define INADDR_LOOPBACK 0x7f000001
#define INADDR_NONE 0xffffffff
#define INADDR_BROADCAST 0xffffffff
#define ADDR_ANY INADDR_ANY
#define SOL_SOCKET 0xffff
#define SO_REUSEADDR 0x0004
#define SO_BROADCAST 0x0020
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_ERROR 0x1007
#define TCP_NODELAY 0x0001
#define SD_RECEIVE 0x00
#define SD_SEND 0x01
#define SD_BOTH 0x02
#define SOMAXCONN 0x7fffffff
#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define FIONBIO 0x8004667E
#define FIONREAD 0x4004667F
#define WSA_MAXIMUM_WAIT_EVENTS (MAXIMUM_WAIT_OBJECTS)

#define FD_READ_BIT 0
#define FD_READ (1 << FD_READ_BIT)
#define FD_WRITE_BIT 1
#define FD_WRITE (1 << FD_WRITE_BIT)
#define FD_OOB_BIT 2
#define FD_OOB (1 << FD_OOB_BIT)
#define FD_ACCEPT_BIT 3
#define FD_ACCEPT (1 << FD_ACCEPT_BIT)
#define FD_CONNECT_BIT 4
#define FD_CONNECT (1 << FD_CONNECT_BIT)
#define FD_CLOSE_BIT 5
#define FD_CLOSE (1 << FD_CLOSE_BIT)
#define FD_MAX_EVENTS 10
#define FD_ALL_EVENTS ((1 << FD_MAX_EVENTS) - 1)

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    USHORT iMaxSockets;
    USHORT iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

typedef struct _WSABUF {
    ULONG len;
    CHAR* buf;
} WSABUF, *LPWSABUF;

typedef struct _WSANETWORKEVENTS {
    LONG lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
} WSANETWORKEVENTS, *LPWSANETWORKEVENTS;

typedef struct _WSAPROTOCOL_INFOA WSAPROTOCOL_INFOA, *LPWSAPROTOCOL_INFOA;
typedef struct _QualityOfService QOS, *LPQOS;
typedef void(CALLBACK* LPWSAOVERLAPPED_COMPLETION_ROUTINE)(DWORD dwError, DWORD cbTransferred,
                                                           LPWSAOVERLAPPED lpOverlapped,
                                                           DWORD dwFlags);

namespace k47 {
namespace winsock {

struct in_addr {
    union {
        struct {
            UCHAR s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            USHORT s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
};

struct sockaddr {
    ADDRESS_FAMILY sa_family;
    CHAR sa_data[14];
};

struct sockaddr_in {
    ADDRESS_FAMILY sin_family;
    USHORT sin_port;
    struct in_addr sin_addr;
    CHAR sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16, "sockaddr_in has the Windows size");

struct sockaddr_storage {
    ADDRESS_FAMILY ss_family;
    CHAR __ss_pad1[6];
    LONGLONG __ss_align;
    CHAR __ss_pad2[112];
};

inline constexpr USHORT htons(USHORT v) {
    return (USHORT)__builtin_bswap16(v);
}
inline constexpr USHORT ntohs(USHORT v) {
    return (USHORT)__builtin_bswap16(v);
}
inline constexpr ULONG htonl(ULONG v) {
    return __builtin_bswap32(v);
}
inline constexpr ULONG ntohl(ULONG v) {
    return __builtin_bswap32(v);
}

int bind(SOCKET s, const sockaddr* name, int namelen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int shutdown(SOCKET s, int how);
SOCKET socket(int af, int type, int protocol);

}  // namespace winsock
}  // namespace k47

using k47::winsock::accept;
using k47::winsock::bind;
using k47::winsock::connect;
using k47::winsock::getpeername;
using k47::winsock::getsockname;
using k47::winsock::getsockopt;
using k47::winsock::htonl;
using k47::winsock::htons;
using k47::winsock::in_addr;
using k47::winsock::listen;
using k47::winsock::ntohl;
using k47::winsock::ntohs;
using k47::winsock::recv;
using k47::winsock::recvfrom;
using k47::winsock::send;
using k47::winsock::sendto;
using k47::winsock::setsockopt;
using k47::winsock::shutdown;
using k47::winsock::sockaddr;
using k47::winsock::sockaddr_in;
using k47::winsock::sockaddr_storage;
using k47::winsock::socket;

#define s_addr S_un.S_addr
typedef sockaddr SOCKADDR;
typedef sockaddr* PSOCKADDR;
typedef sockaddr* LPSOCKADDR;
typedef sockaddr_in SOCKADDR_IN;
typedef in_addr IN_ADDR;
typedef sockaddr_storage SOCKADDR_STORAGE;

EXTERN_C int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
EXTERN_C int WINAPI WSACleanup(void);
EXTERN_C int WINAPI WSAGetLastError(void);
EXTERN_C void WINAPI WSASetLastError(int iError);
EXTERN_C SOCKET WINAPI WSASocketA(int af, int type, int protocol,
                                  LPWSAPROTOCOL_INFOA lpProtocolInfo, GROUP g, DWORD dwFlags);
EXTERN_C int WINAPI closesocket(SOCKET s);
EXTERN_C int WINAPI ioctlsocket(SOCKET s, LONG cmd, ULONG* argp);
EXTERN_C WSAEVENT WINAPI WSACreateEvent(void);
EXTERN_C BOOL WINAPI WSACloseEvent(WSAEVENT hEvent);
EXTERN_C BOOL WINAPI WSASetEvent(WSAEVENT hEvent);
EXTERN_C BOOL WINAPI WSAResetEvent(WSAEVENT hEvent);
EXTERN_C DWORD WINAPI WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* lphEvents,
                                               BOOL fWaitAll, DWORD dwTimeout, BOOL fAlertable);
EXTERN_C int WINAPI WSAEventSelect(SOCKET s, WSAEVENT hEventObject, LONG lNetworkEvents);
EXTERN_C int WINAPI WSAEnumNetworkEvents(SOCKET s, WSAEVENT hEventObject,
                                         LPWSANETWORKEVENTS lpNetworkEvents);
EXTERN_C int WINAPI WSAConnect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF lpCallerData,
                               LPWSABUF lpCalleeData, LPQOS lpSQOS, LPQOS lpGQOS);
EXTERN_C int WINAPI WSASend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                            LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                            LPWSAOVERLAPPED lpOverlapped,
                            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
EXTERN_C int WINAPI WSARecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                            LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags,
                            LPWSAOVERLAPPED lpOverlapped,
                            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
EXTERN_C int WINAPI WSASendTo(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                              LPDWORD lpNumberOfBytesSent, DWORD dwFlags, const sockaddr* lpTo,
                              int iTolen, LPWSAOVERLAPPED lpOverlapped,
                              LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
EXTERN_C int WINAPI WSARecvFrom(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                                LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags, sockaddr* lpFrom,
                                LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped,
                                LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
EXTERN_C BOOL WINAPI WSAGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped,
                                            LPDWORD lpcbTransfer, BOOL fWait, LPDWORD lpdwFlags);
