// Internal: the checks that every send and receive call makes before it transfers anything
// (shared by the plain and the overlapped paths). Each returns 0 or a Winsock error number.
// Functions taking a WaitLock must be called with it held.
#pragma once

#include "winsock/winsock_socket.h"

namespace k47::winsock {

// Flags a receive accepts (MSG_PEEK, MSG_OOB); WSAEOPNOTSUPP for others.
int CheckReceiveFlags(DWORD flags, int* io_flags);
// Flags a send accepts (MSG_OOB); WSAEOPNOTSUPP for others.
int CheckSendFlags(DWORD flags, int* io_flags);
// lpFrom/lpFromlen of a receive: WSAEFAULT when the buffer cannot hold the socket's address.
int CheckFromBuffer(const Socket& socket, const sockaddr* from, const int* fromlen);
// The socket can receive: bound (datagram), connected (stream), no error pending.
int CheckReceive(const kernel::WaitLock& lock, Socket& socket);
// The socket can send to `to` (null or tolen 0: the connected peer). For a datagram socket the
// destination rules of WSASendTo: a short address is WSAEFAULT, the wildcard address or port 0
// WSAEADDRNOTAVAIL, no destination on an unconnected socket WSAENOTCONN.
int CheckSend(const kernel::WaitLock& lock, Socket& socket, const sockaddr* to, int tolen);
// The error a data call reports for an error taken from the socket while watching it: Winsock
// reports an ICMP "port unreachable" on a datagram socket as WSAECONNRESET.
int StoredErrorForDataCall(const Socket& socket, int error);

}  // namespace k47::winsock
