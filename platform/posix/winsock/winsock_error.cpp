// The errno → Winsock error table (see winsock_error.h).
#include "winsock/winsock_error.h"

#include <cerrno>

#include "errhandlingapi.h"

#ifndef WSASYSCALLFAILURE
#define WSASYSCALLFAILURE 10107L
#endif

namespace k47::winsock {

namespace {

struct Mapping {
    int error;
    int wsa;
};

constexpr Mapping kErrnoToWinsock[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},  // non-blocking connect: Winsock says "would block"
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},  // the peer reset the connection; a local shutdown is caught before
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

}  // namespace

int WinsockErrorFromErrno(int error) noexcept {
    if (error == EWOULDBLOCK) {
        return WSAEWOULDBLOCK;
    }
    for (const Mapping& m : kErrnoToWinsock) {
        if (m.error == error) {
            return m.wsa;
        }
    }
    return WSASYSCALLFAILURE;
}

int Fail(int wsa_error) noexcept {
    SetLastError(static_cast<DWORD>(wsa_error));
    return -1;
}

int FailErrno(int error) noexcept {
    return Fail(WinsockErrorFromErrno(error));
}

}  // namespace k47::winsock
