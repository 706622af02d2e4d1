// One HTTP or HTTPS listener of the host on libmicrohttpd, serving the routes of a Router.
//
// Listens on one IPv4 or IPv6 address ("0.0.0.0", "127.0.0.1", "::", "::1", "[::1]"); "::" takes
// IPv4 clients too (dual stack), any other IPv6 address IPv6 only. With a certificate and key
// (PEM files, read at Start) it speaks HTTPS.
//
// Requests are served on the daemon's own threads (a pool of limits.threads): a handler may run
// on several threads at once and may block only as long as a camera call does. Per request, once
// the body is in: the access rule of the route the path names (its own, Route::access, else the
// listener's users: 403 or 401 otherwise), then the router's decision (404/405/413/415, or the
// route's handler). Paths are handed over as sent (HttpRequest::rawPath) and decoded
// (HttpRequest::path) as libmicrohttpd decodes them. Whatever a handler throws is caught
// here and logged, and answered 500 (503 when memory ran out): nothing crosses into the C library.
//
// Clients outside settings.allowedClients get 403 to every request (logged); nothing reaches a
// route.
//
// The daemon waits with epoll, so descriptors past 1024 (a host with many cameras) are served.
// A connection has limits.requestDeadline to deliver a whole request (headers and body) from the
// moment it opens or its previous answer went out; past that it is closed and logged: slow or
// silent clients cannot keep the slots honest ones need. HTTPS speaks TLS 1.2 and 1.3 with
// forward-secret AEAD suites only (kTlsPriorities).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/http/Access.h"
#include "host/http/LogThrottle.h"
#include "host/http/Router.h"

struct MHD_Daemon;
struct sockaddr_storage;

namespace k47host::http {

class RequestDeadlines;

// The one place for the server's limits and their defaults (docs/host-http.md).
struct HttpLimits {
    size_t maxBodyBytes = 64 * 1024;     // per request; a route may set its own
    unsigned connections = 256;          // open at once, all clients together
    unsigned connectionsPerClient = 16;  // open at once from one address; 0: no own limit
    // From the connection's start, or the end of its previous answer, to the last byte of the
    // next request; the connection is closed past it. Zero: no deadline.
    std::chrono::milliseconds requestDeadline{10000};
    unsigned idleSeconds = 30;  // a connection silent this long (sending an answer too) is closed
    unsigned threads = 4;       // the daemon's thread pool
};

// GnuTLS priorities of every HTTPS listener: TLS 1.2 and 1.3; no static RSA key exchange (no
// forward secrecy); AEAD ciphers only (-MAC-ALL:+AEAD drops every CBC suite with its HMAC).
inline constexpr const char* kTlsPriorities =
    "SECURE128:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-RSA:-MAC-ALL:+AEAD:%SERVER_PRECEDENCE";

struct HttpServerSettings {
    std::string listenAddress = "0.0.0.0";
    uint16_t port = 8080;         // 0: any free port (Port() tells which)
    std::string certificateFile;  // PEM; with keyFile: HTTPS
    std::string keyFile;
    HttpLimits limits;
    std::vector<AddressPrefix> allowedClients;  // empty: every client; others get 403
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
    // Before the daemon: its connections report to it until the daemon has stopped.
    // Lines clients can provoke (refusals, cut requests, the library's messages): one per kind
    // every 10 s. Before deadlines_, whose thread writes through it.
    mutable LogThrottle log_throttle_{std::chrono::seconds(10)};
    std::unique_ptr<RequestDeadlines> deadlines_;
    // Last: stopped (and its threads joined) before the router and settings go.
    std::unique_ptr<MHD_Daemon, DaemonDeleter> daemon_;
};

}  // namespace k47host::http
