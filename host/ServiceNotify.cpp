#include "host/ServiceNotify.h"

#include <k47/unique_fd.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace k47host {

bool NotifyServiceManager(const std::string& state, std::string* error) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0')
        return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(name);
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof(address.sun_path)) {
        *error = std::string("NOTIFY_SOCKET is not a socket path: ") + name;
        return false;
    }
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@')
        address.sun_path[0] = '\0';  // an abstract socket
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);

    const k47::UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        *error = std::string("no socket for the service manager: ") + std::strerror(errno);
        return false;
    }
    const ssize_t sent = sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), size);
    const int sendError = errno;
    if (sent != static_cast<ssize_t>(state.size())) {
        *error = std::string("cannot notify the service manager at ") + name + ": " +
                 std::strerror(sent < 0 ? sendError : EMSGSIZE);
        return false;
    }
    return true;
}

}  // namespace k47host
