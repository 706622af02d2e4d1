// One HTTP or HTTPS listener of the host on libmicrohttpd, serving the routes of a Router.
//
// Listens on one IPv4 or IPv6 address ("0.0.0.0", "127.0.0.1", "::", "::1", "[::1]"); "::" takes
// IPv4 clients too (dual stack), any other IPv6 address IPv6 only. With a certificate and key
// (PEM files, read at Start) it speaks HTTPS.
//
// Requests are served on the daemon's own threads (a pool of limits.threads): a handler may run
// on several threads at once and may block only as long as a camera call does. Per request, once
// the body is in: the client's credentials (when users are configured: 401 otherwise), then the
// router's decision (404/405/413/415, or the route's handler). Whatever a handler throws is caught
// here and logged, and answered 500 (503 when memory ran out): nothing crosses into the C library.
//
// Clients outside settings.allowedClients are refused when they connect (the socket is closed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/http/Access.h"
#include "host/http/Router.h"

struct MHD_Daemon;
struct sockaddr_storage;

namespace k47host::http {

// The one place for the server's limits and their defaults.
struct HttpLimits {
    size_t maxBodyBytes = 64 * 1024;    // per request; a route may set its own
    unsigned connections = 64;          // open at once, all clients together
    unsigned connectionsPerClient = 0;  // open at once from one address; 0: no own limit
    unsigned idleSeconds = 30;          // a connection silent this long is closed
    unsigned threads = 4;               // the daemon's thread pool
};

struct HttpServerSettings {
    std::string listenAddress = "0.0.0.0";
    uint16_t port = 8080;         // 0: any free port (Port() tells which)
    std::string certificateFile;  // PEM; with keyFile: HTTPS
    std::string keyFile;
    HttpLimits limits;
    std::vector<AddressPrefix> allowedClients;  // empty: every client
    AuthSettings auth;                          // no users: no authentication

    bool Secure() const { return !certificateFile.empty(); }
};

// A listen address with the port into *address; false with a message in *error.
bool ParseListenAddress(const std::string& text, uint16_t port, sockaddr_storage* address,
                        std::string* error);

class HttpServer {
  public:
    HttpServer(HttpServerSettings settings, Router router);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts listening; false with a message in *error.
    bool Start(std::string* error);
    // Closes the listener and waits for the handlers that are running; idempotent.
    void Stop();

    uint16_t Port() const { return bound_port_; }
    bool Secure() const { return settings_.Secure(); }
    const HttpServerSettings& Settings() const { return settings_; }
    // "http://127.0.0.1:8080", "https://[::1]:8443": the listen address and the bound port.
    std::string BaseUrl() const;

  private:
    struct DaemonDeleter {
        void operator()(MHD_Daemon* daemon) const;
    };
    friend struct HttpServerCallbacks;

    HttpServerSettings settings_;
    const Router router_;
    std::string certificate_;
    std::string key_;
    uint16_t bound_port_ = 0;
    // Last: stopped (and its threads joined) before the router and settings go.
    std::unique_ptr<MHD_Daemon, DaemonDeleter> daemon_;
};

}  // namespace k47host::http
