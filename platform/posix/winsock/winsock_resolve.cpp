// Linux implementation file of the platform layer: may include Linux system headers, but not the
// socket headers (ws2tcpip.h is included; the Linux resolver is behind socket_sys.h).
// getaddrinfo/freeaddrinfo with the Windows ADDRINFOA layout and Winsock error numbers, and
// inet_pton/inet_ntop.
//
// Each ADDRINFOA node is one allocation holding the node, its address and its canonical name, so
// freeaddrinfo frees node by node and a caller may free a list it received from us only.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "errhandlingapi.h"
#include "support/boundary.h"
#include "winsock/socket_sys.h"
#include "winsock/winsock_error.h"
#include "winsock/winsock_socket.h"
#include "ws2tcpip.h"

namespace k47::winsock {

int getaddrinfo(const char* pNodeName, const char* pServiceName, const addrinfo* pHints,
                addrinfo** ppResult) {
    if (ppResult == nullptr) {
        SetLastError(WSAEINVAL);
        return WSAEINVAL;
    }
    *ppResult = nullptr;
    if (!winsock::LibraryStarted()) {
        SetLastError(WSANOTINITIALISED);
        return WSANOTINITIALISED;
    }
    int flags = pHints != nullptr ? pHints->ai_flags : 0;
    int family = pHints != nullptr ? pHints->ai_family : AF_UNSPEC;
    int socktype = pHints != nullptr ? pHints->ai_socktype : 0;
    int protocol = pHints != nullptr ? pHints->ai_protocol : 0;
    std::vector<winsock::sys::ResolvedAddress> found;
    int error = support::Boundary(WSA_NOT_ENOUGH_MEMORY, WSANO_RECOVERY, [&] {
        return winsock::sys::Resolve(pNodeName, pServiceName, flags, family, socktype, protocol,
                                     &found);
    });
    if (error != 0) {
        SetLastError(static_cast<DWORD>(error));
        return error;
    }
    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    for (const auto& r : found) {
        size_t name_size = r.canonical_name.empty() ? 0 : r.canonical_name.size() + 1;
        size_t size = sizeof(addrinfo) + static_cast<size_t>(r.addrlen) + name_size;
        auto* block = static_cast<unsigned char*>(std::calloc(1, size));
        if (block == nullptr) {
            freeaddrinfo(head);
            SetLastError(WSA_NOT_ENOUGH_MEMORY);
            return WSA_NOT_ENOUGH_MEMORY;
        }
        auto* node = new (block) addrinfo{};  // owner: the list, freed by freeaddrinfo
        node->ai_family = r.family;
        node->ai_socktype = r.socktype;
        node->ai_protocol = r.protocol;
        node->ai_addrlen = static_cast<size_t>(r.addrlen);
        node->ai_addr = reinterpret_cast<sockaddr*>(block + sizeof(addrinfo));
        std::memcpy(node->ai_addr, r.addr, static_cast<size_t>(r.addrlen));
        if (name_size != 0) {
            node->ai_canonname = reinterpret_cast<char*>(block + sizeof(addrinfo) + r.addrlen);
            std::memcpy(node->ai_canonname, r.canonical_name.c_str(), name_size);
        }
        *tail = node;
        tail = &node->ai_next;
    }
    *ppResult = head;
    return 0;
}

void freeaddrinfo(addrinfo* pAddrInfo) {
    while (pAddrInfo != nullptr) {
        addrinfo* next = pAddrInfo->ai_next;
        std::free(pAddrInfo);  // addrinfo is trivially destructible
        pAddrInfo = next;
    }
}

int inet_pton(int Family, const char* pszAddrString, void* pAddrBuf) {
    if (pszAddrString == nullptr || pAddrBuf == nullptr) {
        winsock::Fail(WSAEFAULT);
        return -1;
    }
    int rc = winsock::sys::TextToAddress(Family, pszAddrString, pAddrBuf);
    if (rc < 0) {
        winsock::FailErrno(errno);
    }
    return rc;  // 1, or 0 for text that is not an address of the family
}

const char* inet_ntop(int Family, const void* pAddr, char* pStringBuf, size_t StringBufSize) {
    if (pAddr == nullptr || pStringBuf == nullptr) {
        winsock::Fail(WSAEFAULT);
        return nullptr;
    }
    const char* text = winsock::sys::AddressToText(Family, pAddr, pStringBuf, StringBufSize);
    if (text == nullptr) {
        // Too small a buffer is ERROR_INVALID_PARAMETER on Windows.
        winsock::Fail(errno == ENOSPC ? ERROR_INVALID_PARAMETER : WSAEAFNOSUPPORT);
    }
    return text;
}

}  // namespace k47::winsock
