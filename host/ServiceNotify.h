// Readiness and state for a service manager (systemd's Type=notify): one datagram to the socket
// named by NOTIFY_SOCKET. Without that variable nothing is sent; the host works the same.
#pragma once

#include <string>

namespace k47host {

// Sends `state` ("READY=1", "STOPPING=1", "STATUS=...", newline-separated). Returns false when
// a socket is named but the state could not be sent, with the reason in `error`.
bool NotifyServiceManager(const std::string& state, std::string* error);

}  // namespace k47host
