// Linux implementation file of the platform layer: may include Linux system headers.
// Local servers' folder, socket paths, lock files and peer credentials.
#include "com/local/com_local_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "com/com_internal.h"
#include "k47/localserver.h"
#include "support/eintr.h"
#include "support/os_error.h"

namespace {

std::atomic<bool> g_through_socket{false};

}  // namespace

namespace k47 {

std::string LocalServerFolder() {
    const char* dir = getenv("K47_RUNTIME_DIR");
    std::string folder;
    if (dir != nullptr && dir[0] != '\0') {
        folder = dir;
    } else if (const char* xdg = getenv("XDG_RUNTIME_DIR"); xdg != nullptr && xdg[0] == '/') {
        folder = std::string(xdg) + "/k47";
    } else {
        // No runtime folder (a service without a login session): a private one of our own.
        folder = "/tmp/k47-" + std::to_string(geteuid());
    }
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string LocalServerSocketPath(REFCLSID clsid) {
    return LocalServerFolder() + "/" + com::GuidKeyName(clsid) + ".sock";
}

void SetLocalServerThroughSocket(bool enable) noexcept {
    g_through_socket.store(enable, std::memory_order_release);
}

}  // namespace k47

namespace k47::com::local {

bool LocalServerThroughSocket() noexcept {
    return g_through_socket.load(std::memory_order_acquire);
}

HRESULT HresultFromErrno(int error) noexcept {
    switch (error) {
        case EACCES:
        case EPERM:
            return E_ACCESSDENIED;
        case ENOMEM:
        case ENOBUFS:
            return E_OUTOFMEMORY;
        case ENAMETOOLONG:
            return E_INVALIDARG;  // sun_path holds 108 bytes
        default:
            return HRESULT_FROM_WIN32(support::Win32ErrorFromErrno(error));
    }
}

HRESULT EnsureLocalServerFolder(const std::string& folder) {
    if (folder.empty() || folder[0] != '/')
        return E_INVALIDARG;
    for (size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
        std::string dir = folder.substr(0, pos);
        if (mkdir(dir.c_str(), 0700) == 0) {
            chmod(dir.c_str(), 0700);  // whatever the umask
        } else if (errno != EEXIST) {
            return HresultFromErrno(errno);
        }
        if (pos == std::string::npos)
            break;
    }
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0)
        return HresultFromErrno(errno);
    // A folder someone else made (in /tmp, say) could hand our clients to their server.
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return E_ACCESSDENIED;
    return S_OK;
}

support::UniqueFd ConnectLocalSocket(const std::string& path, int* error) {
    *error = 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        *error = ENAMETOOLONG;
        return {};
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    support::UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) {
        *error = errno;
        return {};
    }
    if (support::RetryOnEintr([&] {
            return connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
        }) == 0)
        return fd;
    *error = errno;
    return {};
}

long PeerUid(int fd) {
    ucred cred{};
    socklen_t size = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof(cred))
        return -1;
    return static_cast<long>(cred.uid);
}

FileLock::FileLock(const std::string& path, unsigned timeout_ms) {
    support::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd)
        return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            fd_ = std::move(fd);
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            return;
        // Held by another process binding or starting a server: a few milliseconds at most.
        timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace k47::com::local
