// Name resolution with the Windows layout of ADDRINFOA (see winsock2.h for why the POSIX-named
// calls live in namespace k47::winsock).
#pragma once

#include "winsock2.h"

#define AI_PASSIVE 0x00000001
#define AI_CANONNAME 0x00000002
#define AI_NUMERICHOST 0x00000004
#define AI_NUMERICSERV 0x00000008
#define EAI_AGAIN WSATRY_AGAIN
#define EAI_BADFLAGS WSAEINVAL
#define EAI_FAIL WSANO_RECOVERY
#define EAI_FAMILY WSAEAFNOSUPPORT
#define EAI_MEMORY WSA_NOT_ENOUGH_MEMORY
#define EAI_NONAME WSAHOST_NOT_FOUND
#define EAI_SERVICE WSATYPE_NOT_FOUND
#define EAI_SOCKTYPE WSAESOCKTNOSUPPORT
#define WSA_NOT_ENOUGH_MEMORY (ERROR_NOT_ENOUGH_MEMORY)
#define INET_ADDRSTRLEN 22
#define INET6_ADDRSTRLEN 65

namespace k47 {
namespace winsock {

struct in6_addr {
    union {
        UCHAR Byte[16];
        USHORT Word[8];
    } u;
};

struct sockaddr_in6 {
    ADDRESS_FAMILY sin6_family;
    USHORT sin6_port;
    ULONG sin6_flowinfo;
    struct in6_addr sin6_addr;
    ULONG sin6_scope_id;
};
static_assert(sizeof(sockaddr_in6) == 28, "sockaddr_in6 has the Windows size");

struct addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    size_t ai_addrlen;
    char* ai_canonname;
    sockaddr* ai_addr;
    addrinfo* ai_next;
};

// Returns 0 or a Winsock error number (WSAHOST_NOT_FOUND, ...), as on Windows.
int getaddrinfo(const char* pNodeName, const char* pServiceName, const addrinfo* pHints,
                addrinfo** ppResult);
void freeaddrinfo(addrinfo* pAddrInfo);
int inet_pton(int Family, const char* pszAddrString, void* pAddrBuf);
const char* inet_ntop(int Family, const void* pAddr, char* pStringBuf, size_t StringBufSize);

}  // namespace winsock
}  // namespace k47

using k47::winsock::addrinfo;
using k47::winsock::freeaddrinfo;
using k47::winsock::getaddrinfo;
using k47::winsock::in6_addr;
using k47::winsock::inet_ntop;
using k47::winsock::inet_pton;
using k47::winsock::sockaddr_in6;
#define s6_addr u.Byte
typedef in6_addr IN6_ADDR;
typedef sockaddr_in6 SOCKADDR_IN6;
typedef addrinfo ADDRINFOA;
typedef addrinfo* PADDRINFOA;
