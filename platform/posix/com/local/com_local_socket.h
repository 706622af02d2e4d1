// Sockets, folder and lock files of local servers, shared by the publishing side
// (com_local_server.cpp) and the connecting side (com_local_client.cpp). See k47/localserver.h
// for the layout.
//
// Threading: free functions, thread-safe; a FileLock belongs to one thread.
#pragma once

#include <string>

#include "guiddef.h"
#include "support/unique_fd.h"
#include "winerror.h"

namespace k47::com::local {

// Creates the folder when missing (mode 0700). S_OK, or an HRESULT from the error.
HRESULT EnsureLocalServerFolder(const std::string& folder);

// Connects to a local server's socket (blocking, close-on-exec). On failure returns an invalid
// fd and *error holds errno (ENOENT or ECONNREFUSED: nobody serves there).
support::UniqueFd ConnectLocalSocket(const std::string& path, int* error);

// The uid of the process at the other end of a connected Unix socket, or -1.
long PeerUid(int fd);

// An exclusive flock on a lock file, taken in the constructor (waiting at most `timeout_ms`),
// released in the destructor.
class FileLock {
  public:
    FileLock(const std::string& path, unsigned timeout_ms);
    ~FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const noexcept { return fd_.valid(); }

  private:
    support::UniqueFd fd_;  // closing it releases the lock
};

// An HRESULT for an errno value of the socket calls.
HRESULT HresultFromErrno(int error) noexcept;

}  // namespace k47::com::local
