// A scripted loopback HTTP(S) server for transport tests, on raw Linux sockets (and OpenSSL for
// the TLS variant). It listens on 127.0.0.1 at a free port; every accepted connection gets a
// thread of its own that reads one request (header block, then a Content-Length body), records
// its bytes, and plays the next reply of the script: response bytes in pieces, and then closes or
// keeps the connection open until the peer closes it. A reply may also send nothing at all.
//
// Also here: a listener that never completes a TCP handshake (its accept queue is kept full),
// for connect time-outs.
//
// Thread-safe; the destructor stops every connection thread and joins them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestCertificates.h"

namespace k47test {

struct ScriptedReply {
    enum class After {
        Close,     // close the connection after the last piece
        KeepOpen,  // keep it open until the peer closes it (or the server stops)
    };
    std::vector<std::string> pieces;  // sent in order
    After after = After::Close;
    bool readRequest = true;  // false: reply without waiting for a request
};

// A complete response with a Content-Length body.
ScriptedReply HttpReply(int status, const std::string& body, const std::string& extraHeaders = "",
                        ScriptedReply::After after = ScriptedReply::After::Close);

class ScriptedHttpServer {
  public:
    // Plain HTTP, or TLS with the given identity.
    explicit ScriptedHttpServer(std::optional<ServerIdentity> tls = std::nullopt);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // Replies are played in order, one per request; when none is queued the last one played
    // repeats (a reply added later is played next).
    void AddReply(ScriptedReply reply);
    uint16_t Port() const { return port_; }

    // Every request read, in arrival order.
    struct Request {
        std::string bytes;
    };
    std::vector<Request> Requests() const;
    // Waits (on a condition, not a sleep) until `count` requests have been read.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;

  private:
    void AcceptLoop();
    void Serve(int fd);

    void* tls_context_ = nullptr;  // SSL_CTX*
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    std::deque<ScriptedReply> replies_;        // not yet played
    std::optional<ScriptedReply> last_reply_;  // played again when nothing new is queued
    std::vector<Request> requests_;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> threads_;  // finished ones are joined at the next accept
    std::thread acceptor_;
};

// A TCP listener on 127.0.0.1 whose accept queue is full, so that a new connection attempt is
// never answered (its SYNs are dropped) while the object lives.
class UnansweredListener {
  public:
    UnansweredListener();
    ~UnansweredListener();
    UnansweredListener(const UnansweredListener&) = delete;
    UnansweredListener& operator=(const UnansweredListener&) = delete;
    uint16_t Port() const { return port_; }
    bool Ready() const { return ready_; }

  private:
    int listen_fd_ = -1;
    std::vector<int> fillers_;
    uint16_t port_ = 0;
    bool ready_ = false;
};

}  // namespace k47test
