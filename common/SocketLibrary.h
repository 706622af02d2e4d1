// The process-wide count of users of the platform socket library. The reference that raises the
// count to 1 starts the library (WSAStartup, version 2.2) and keeps its result; the one that brings
// it back to 0 ends it (WSACleanup). Camera objects and remote clients each hold one reference for
// their lifetime. Thread-safe: the count and the start-up are serialised, so no user proceeds
// before the library has started.
#pragma once

#include <winsock2.h>

class CK47SocketLibraryReference {
  public:
    CK47SocketLibraryReference() noexcept;
    ~CK47SocketLibraryReference();
    CK47SocketLibraryReference(const CK47SocketLibraryReference&) = delete;
    CK47SocketLibraryReference& operator=(const CK47SocketLibraryReference&) = delete;

    // The result of the WSAStartup that started the library for the current users.
    static int StartupResult() noexcept;
    static long UserCount() noexcept;
};
