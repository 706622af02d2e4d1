// The host's HTTP listener on libmicrohttpd.
#include "host/http/HttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/K47Global.h"

namespace k47host::http {

namespace {

bool ReadWholeFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *content = buffer.str();
    return true;
}

// "[::1]" and "::1" both name the IPv6 loopback; brackets are how URLs write it.
std::string Unbracketed(const std::string& text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        return text.substr(1, text.size() - 2);
    return text;
}

std::string NumericAddress(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address == nullptr)
        return {};
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof(text));
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof(text));
    return text;
}

// libmicrohttpd's own decoding of a path (valid %-escapes decoded, others kept), which routes
// have always matched on; the daemon itself is told to keep paths as sent (KeepEscapes). Cut at
// a decoded NUL, as the C string the library used to hand over was.
std::string Unescaped(const char* url) {
    std::string path(url);
    path.resize(MHD_http_unescape(path.data()));
    path.resize(std::strlen(path.c_str()));
    return path;
}

// What a connection carries between libmicrohttpd's calls for one request.
struct Pending {
    std::string body;
    size_t received = 0;
    size_t limit = 0;
};

}  // namespace

// Closes connections that have not delivered a whole request in time. libmicrohttpd's own timeout
// restarts with every byte, so a client sending one byte a second would hold its slot for ever;
// this clock does not restart until the request is in.
//
// A connection is cut by shutdown() on its socket: the daemon's thread then sees the end of the
// stream and closes the connection the ordinary way. The descriptor belongs to the daemon, which
// closes it only after Closed() has returned, so under the lock it is never a reused number.
class RequestDeadlines {
  public:
    using Clock = std::chrono::steady_clock;

    RequestDeadlines(std::chrono::milliseconds deadline, LogThrottle* log)
        : deadline_(deadline), log_(log), thread_([this] { Run(); }) {}

    ~RequestDeadlines() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    RequestDeadlines(const RequestDeadlines&) = delete;
    RequestDeadlines& operator=(const RequestDeadlines&) = delete;

    void Opened(const MHD_Connection* connection, int fd, std::string client) {
        std::lock_guard<std::mutex> hold(lock_);
        Entry& entry = entries_[connection];
        entry.fd = fd;
        entry.client = std::move(client);
        ArmLocked(entry);
    }

    void Closed(const MHD_Connection* connection) {
        std::lock_guard<std::mutex> hold(lock_);
        entries_.erase(connection);
    }

    // The whole request is in: the handler and the answer are not on the clock.
    void RequestIn(const MHD_Connection* connection) {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = entries_.find(connection);
        if (found != entries_.end())
            found->second.armed = false;
    }

    // The answer went out: the next request on this connection has a deadline of its own.
    void AnswerDone(const MHD_Connection* connection) {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = entries_.find(connection);
        if (found != entries_.end() && !found->second.cut)
            ArmLocked(found->second);
    }

  private:
    struct Entry {
        int fd = -1;
        std::string client;
        Clock::time_point due;
        bool armed = false;
        bool cut = false;
    };

    void ArmLocked(Entry& entry) {
        entry.due = Clock::now() + deadline_;
        entry.armed = true;
        // Every deadline is now + the same span, so only a watch with nothing due needs waking.
        if (entry.due < next_wake_)
            wake_.notify_one();
    }

    void Run() {
        std::vector<std::string> cut;
        std::unique_lock<std::mutex> hold(lock_);
        while (!stopping_) {
            const Clock::time_point now = Clock::now();
            next_wake_ = Clock::time_point::max();
            for (auto& [connection, entry] : entries_) {
                if (!entry.armed)
                    continue;
                if (entry.due <= now) {
                    ::shutdown(entry.fd, SHUT_RDWR);
                    entry.armed = false;
                    entry.cut = true;
                    cut.push_back(entry.client);
                } else {
                    next_wake_ = std::min(next_wake_, entry.due);
                }
            }
            if (!cut.empty()) {
                hold.unlock();
                static const char kCutKind = 0;
                for (const std::string& client : cut)
                    log_->Write(&kCutKind, "k47ptz-host: http: connection from " + client +
                                               ": no whole request within " +
                                               std::to_string(deadline_.count()) + " ms; closed");
                cut.clear();
                hold.lock();
                continue;  // the table may have changed meanwhile
            }
            if (next_wake_ == Clock::time_point::max())
                wake_.wait(hold);
            else
                wake_.wait_until(hold, next_wake_);
        }
    }

    const std::chrono::milliseconds deadline_;

    LogThrottle* const log_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::unordered_map<const MHD_Connection*, Entry> entries_;
    Clock::time_point next_wake_ = Clock::time_point::max();
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the members above exist
};

bool ParseListenAddress(const std::string& text, uint16_t port, sockaddr_storage* address,
                        std::string* error) {
    std::memset(address, 0, sizeof(*address));
    const std::string bare = Unbracketed(text);
    auto* v4 = reinterpret_cast<sockaddr_in*>(address);
    if (bare == text && inet_pton(AF_INET, bare.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    if (inet_pton(AF_INET6, bare.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        return true;
    }
    *error = "listen address \"" + text + "\" is not an IPv4 or IPv6 address";
    return false;
}

// libmicrohttpd's callbacks. Each one is a C boundary: nothing may leave it by exception.
struct HttpServerCallbacks {
    static MHD_Result Queue(MHD_Connection* connection, const HttpResponse& answer) {
        MHD_Response* response = MHD_create_response_from_buffer(
            answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr)
            return MHD_NO;
        MHD_add_response_header(response, "Content-Type", answer.contentType.c_str());
        for (const auto& [name, value] : answer.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        MHD_Result result = MHD_queue_response(connection, answer.status, response);
        MHD_destroy_response(response);
        return result;
    }

    // Without allocating: memory may be what ran out.
    static MHD_Result QueueStatic(MHD_Connection* connection, unsigned status, const char* text) {
        MHD_Response* response = MHD_create_response_from_buffer(
            std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
        if (response == nullptr)
            return MHD_NO;
        MHD_add_response_header(response, "Content-Type", "text/plain");
        MHD_Result result = MHD_queue_response(connection, status, response);
        MHD_destroy_response(response);
        return result;
    }

    static MHD_Result CollectHeader(void* cls, MHD_ValueKind /*kind*/, const char* key,
                                    const char* value) {
        auto* headers = static_cast<std::vector<std::pair<std::string, std::string>>*>(cls);
        try {
            headers->emplace_back(key, value != nullptr ? value : "");
            return MHD_YES;
        } catch (...) {
            return MHD_NO;  // the request goes on with the headers collected so far
        }
    }

    static const sockaddr* ClientAddress(MHD_Connection* connection) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        return info != nullptr ? info->client_addr : nullptr;
    }

    static HttpResponse Serve(const HttpServer& server, MHD_Connection* connection, const char* url,
                              const char* method, Pending& pending) {
        HttpRequest request;
        request.method = method;
        request.rawPath = url;
        request.path = Unescaped(url);
        request.bodyBytes = pending.received;
        request.bodyTooLarge = pending.received > pending.limit;
        request.clientAddress = NumericAddress(ClientAddress(connection));
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &request.headers);

        // Refused with an answer, not a closed socket, so the client learns why; before the
        // credentials, which such a client has no use for.
        if (!ClientAllowed(server.settings_.allowedClients, ClientAddress(connection))) {
            static const char kRefusedKind = 0;
            server.log_throttle_.Write(&kRefusedKind, std::string("k47ptz-host: http: ") + method +
                                                          " " + url + ": client " +
                                                          request.clientAddress +
                                                          " is outside Allow; answered 403");
            return HttpResponse::Text(403, "this address may not use this service\n");
        }

        const Route* route = server.router_.Find(request.path);
        AccessDecision access = DecideAccess(
            server.settings_.auth, route != nullptr ? route->access.get() : nullptr,
            server.Secure(), ClientAddress(connection), request.Header("Authorization"));
        const bool json = route != nullptr && route->jsonErrors;
        if (access.status != 0) {
            HttpResponse refused = HttpResponse::Text(access.status, std::move(access.text));
            if (!access.challenge.empty())
                refused.headers.emplace_back("WWW-Authenticate", std::move(access.challenge));
            return json ? Router::AsJsonError(std::move(refused)) : refused;
        }
        request.user = std::move(access.user);

        RouteDecision decision = server.router_.Decide(
            request.method, request.path, request.Header("Content-Type").value_or(""),
            request.bodyBytes, server.settings_.limits.maxBodyBytes);
        if (decision.route == nullptr)
            return json ? Router::AsJsonError(Router::ErrorResponse(decision))
                        : Router::ErrorResponse(decision);
        request.body = std::move(pending.body);
        return decision.route->handler(request);
    }

    static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char* /*version*/, const char* uploadData,
                             size_t* uploadSize, void** state) {
        const auto* server = static_cast<const HttpServer*>(cls);
        const char* failure = nullptr;
        try {
            if (*state == nullptr) {
                auto pending = std::make_unique<Pending>();
                pending->limit = server->router_.BodyLimit(Unescaped(url),
                                                           server->settings_.limits.maxBodyBytes);
                *state = pending.release();  // owned again and freed in Completed
                return MHD_YES;
            }
            auto* pending = static_cast<Pending*>(*state);
            if (*uploadSize != 0) {
                // Counted to the end, kept up to the limit: the decision needs the size only.
                pending->received += *uploadSize;
                if (pending->body.size() < pending->limit)
                    pending->body.append(
                        uploadData, std::min(*uploadSize, pending->limit - pending->body.size()));
                *uploadSize = 0;
                return MHD_YES;
            }
            if (server->deadlines_)
                server->deadlines_->RequestIn(connection);
            return Queue(connection, Serve(*server, connection, url, method, *pending));
        } catch (const std::bad_alloc&) {
            g_ErrorHandling.WriteLog("k47ptz-host: http: %s %s: out of memory; answered 503\n",
                                     method, url);
            return QueueStatic(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "out of memory\n");
        } catch (const std::exception& e) {
            g_ErrorHandling.WriteLog("k47ptz-host: http: %s %s: %s; answered 500\n", method, url,
                                     e.what());
            failure = "internal error\n";
        } catch (...) {
            g_ErrorHandling.WriteLog(
                "k47ptz-host: http: %s %s: an unknown exception; answered 500\n", method, url);
            failure = "internal error\n";
        }
        return QueueStatic(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, failure);
    }

    static void Completed(void* cls, MHD_Connection* connection, void** state,
                          MHD_RequestTerminationCode /*code*/) {
        std::unique_ptr<Pending> pending(static_cast<Pending*>(*state));
        *state = nullptr;
        const auto* server = static_cast<const HttpServer*>(cls);
        if (server->deadlines_)
            server->deadlines_->AnswerDone(connection);
    }

    static void Notify(void* cls, MHD_Connection* connection, void** /*socketContext*/,
                       MHD_ConnectionNotificationCode code) {
        const auto* server = static_cast<const HttpServer*>(cls);
        if (!server->deadlines_)
            return;
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            server->deadlines_->Closed(connection);
            return;
        }
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr)
            return;
        try {
            server->deadlines_->Opened(connection, info->connect_fd,
                                       NumericAddress(ClientAddress(connection)));
        } catch (...) {
            // Without memory for its entry the connection has the idle timeout only.
        }
    }

    // Every client gets in: the address rules are answered per request, with a 403 (Serve).
    // The library's own messages (refused connections among them: one per connection past a
    // limit), one per kind and window. The format string is the kind.
    static void Log(void* cls, const char* format, va_list arguments) {
        try {
            char text[512];
            std::vsnprintf(text, sizeof(text), format, arguments);
            std::string line = text;
            while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
                line.pop_back();
            static_cast<HttpServer*>(cls)->log_throttle_.Write(format,
                                                               "k47ptz-host: http: " + line);
        } catch (...) {
            // Nothing may leave a C callback; a lost log line is the least harm.
        }
    }

    // The path reaches Handle as sent: a route that takes names in its segments must tell an
    // escaped '/' ("%2F") from a separator, which it cannot once the path is decoded.
    static size_t KeepEscapes(void* /*cls*/, MHD_Connection* /*connection*/, char* text) {
        return std::strlen(text);
    }

    static MHD_Result Accept(void* /*cls*/, const sockaddr* /*address*/, socklen_t /*length*/) {
        return MHD_YES;
    }
};

void HttpServer::DaemonDeleter::operator()(MHD_Daemon* daemon) const {
    MHD_stop_daemon(daemon);
}

HttpServer::HttpServer(HttpServerSettings settings, Router router)
    : settings_(std::move(settings)), router_(std::move(router)) {}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Start(std::string* error) {
    if (daemon_)
        return true;
    sockaddr_storage address;
    if (!ParseListenAddress(settings_.listenAddress, settings_.port, &address, error))
        return false;
    // epoll (or poll) has no ceiling on descriptor numbers; select() stops at 1024.
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG |
        (MHD_is_feature_supported(MHD_FEATURE_EPOLL) == MHD_YES ? MHD_USE_EPOLL : MHD_USE_POLL);
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        // "::" is the any-address of both families; a given IPv6 address is that address only.
        flags |= IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr) ? MHD_USE_DUAL_STACK : MHD_USE_IPv6;
    }
    if (Secure()) {
        if (!ReadWholeFile(settings_.certificateFile, &certificate_)) {
            *error = "cannot read certificate file " + settings_.certificateFile;
            return false;
        }
        if (!ReadWholeFile(settings_.keyFile, &key_)) {
            *error = "cannot read key file " + settings_.keyFile;
            return false;
        }
        flags |= MHD_USE_TLS;
    }
    const HttpLimits& limits = settings_.limits;
    MHD_OptionItem tls[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(certificate_.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(key_.c_str())},
        {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)},
        {MHD_OPTION_END, 0, nullptr},
    };
    if (limits.requestDeadline.count() > 0)
        deadlines_ = std::make_unique<RequestDeadlines>(limits.requestDeadline, &log_throttle_);
    daemon_.reset(MHD_start_daemon(
        flags, settings_.port, &HttpServerCallbacks::Accept, this, &HttpServerCallbacks::Handle,
        // The logger first: messages of the options before it would go to stderr.
        this, MHD_OPTION_EXTERNAL_LOGGER, &HttpServerCallbacks::Log, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_THREAD_POOL_SIZE, limits.threads,
        MHD_OPTION_CONNECTION_LIMIT, limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        limits.connectionsPerClient, MHD_OPTION_CONNECTION_TIMEOUT, limits.idleSeconds,
        MHD_OPTION_NOTIFY_COMPLETED, &HttpServerCallbacks::Completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &HttpServerCallbacks::Notify, this,
        MHD_OPTION_UNESCAPE_CALLBACK, &HttpServerCallbacks::KeepEscapes, this, MHD_OPTION_ARRAY,
        Secure() ? tls : tls + 3, MHD_OPTION_END));
    if (!daemon_) {
        deadlines_.reset();
        *error = "cannot listen on " + settings_.listenAddress + ":" +
                 std::to_string(settings_.port) +
                 (Secure() ? " (HTTPS: check the certificate and key)" : "");
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_BIND_PORT);
    bound_port_ = info != nullptr ? info->port : settings_.port;
    return true;
}

void HttpServer::Stop() {
    daemon_.reset();
    deadlines_.reset();
}

std::string HttpServer::BaseUrl() const {
    std::string host = Unbracketed(settings_.listenAddress);
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    return std::string(Secure() ? "https" : "http") + "://" + host + ":" +
           std::to_string(bound_port_);
}

}  // namespace k47host::http
