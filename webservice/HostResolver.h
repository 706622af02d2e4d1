// Name resolution with a time-out for the HTTPS request object. getaddrinfo cannot be cancelled,
// so a lookup that is not numeric runs on a thread of its own; when the time-out passes first,
// the caller gets WSAETIMEDOUT and the thread frees its result whenever it finishes.
//
// Thread-safe; keeps no state between calls.
#pragma once

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>

namespace k47::http {

struct AddrInfoDeleter {
    void operator()(ADDRINFOA* info) const {
        if (info != nullptr)
            freeaddrinfo(info);
    }
};
using UniqueAddrInfo = std::unique_ptr<ADDRINFOA, AddrInfoDeleter>;

// Stream-socket addresses of `host` for `port`: 0 and *result set, or a Winsock error number
// (WSAETIMEDOUT when `timeoutMs` passed first; INFINITE waits without limit).
int ResolveHost(const char* host, unsigned short port, DWORD timeoutMs, UniqueAddrInfo* result);

}  // namespace k47::http
