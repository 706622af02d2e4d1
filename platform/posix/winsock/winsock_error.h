// Internal: the one table that turns errno values of the Linux socket calls into Winsock error
// numbers (WSAGetLastError), and the helpers that set the thread's last error. Stateless and
// thread-safe.
#pragma once

#include "winerror.h"

namespace k47::winsock {

// The Winsock number for an errno value of a socket call. EINPROGRESS (a non-blocking connect
// under way) is WSAEWOULDBLOCK, as Winsock reports it; errno values without a Winsock
// counterpart are WSASYSCALLFAILURE.
int WinsockErrorFromErrno(int error) noexcept;

// Sets the thread's last error (what WSAGetLastError reads) and returns SOCKET_ERROR (-1).
int Fail(int wsa_error) noexcept;
// Fail(WinsockErrorFromErrno(error)).
int FailErrno(int error) noexcept;

}  // namespace k47::winsock
