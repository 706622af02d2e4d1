// The scripted loopback HTTP(S) server and the unanswered listener (see the header).
#include "tests/support/ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace k47test {

namespace {

// One connection's byte I/O, plain or TLS.
class Channel {
  public:
    Channel(int fd, int stopFd, SSL* ssl) : fd_(fd), stop_fd_(stopFd), ssl_(ssl) {}
    ~Channel() {
        if (ssl_ != nullptr) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
    }
    // Waits for input or a stop; false on stop.
    bool WaitReadable() {
        if (ssl_ != nullptr && SSL_pending(ssl_) > 0)
            return true;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        int rc = poll(fds, 2, -1);
        return rc > 0 && (fds[1].revents & POLLIN) == 0;
    }
    // Bytes read, 0 at the end of the connection, -1 on error or stop.
    ssize_t Read(char* buffer, size_t size) {
        if (!WaitReadable())
            return -1;
        if (ssl_ != nullptr) {
            int n = SSL_read(ssl_, buffer, int(size));
            if (n > 0)
                return n;
            return SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        }
        return ::recv(fd_, buffer, size, 0);
    }
    bool Write(const std::string& bytes) {
        if (ssl_ != nullptr)
            return bytes.empty() || SSL_write(ssl_, bytes.data(), int(bytes.size())) > 0;
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }

  private:
    int fd_;
    int stop_fd_;
    SSL* ssl_;
};

bool EqualsNoCase(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// Reads one request (header block and Content-Length body) into *request; false at the end of
// the connection.
bool ReadRequest(Channel& channel, std::string* request) {
    std::string pending;
    char buffer[4096];
    size_t headerEnd;
    while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = channel.Read(buffer, sizeof buffer);
        if (n <= 0)
            return false;
        pending.append(buffer, size_t(n));
    }
    headerEnd += 4;
    size_t length = 0;
    size_t lineStart = pending.find("\r\n") + 2;
    while (lineStart < headerEnd - 2) {
        size_t lineEnd = pending.find("\r\n", lineStart);
        std::string line = pending.substr(lineStart, lineEnd - lineStart);
        size_t colon = line.find(':');
        if (colon != std::string::npos && EqualsNoCase(line.substr(0, colon), "Content-Length"))
            length = std::stoul(line.substr(colon + 1));
        lineStart = lineEnd + 2;
    }
    while (pending.size() < headerEnd + length) {
        ssize_t n = channel.Read(buffer, sizeof buffer);
        if (n <= 0)
            return false;
        pending.append(buffer, size_t(n));
    }
    *request = pending.substr(0, headerEnd + length);
    return true;
}

}  // namespace

ScriptedReply HttpReply(int status, const std::string& body, const std::string& extraHeaders,
                        ScriptedReply::After after) {
    ScriptedReply reply;
    reply.pieces.push_back("HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body);
    reply.after = after;
    return reply;
}

ScriptedHttpServer::ScriptedHttpServer(std::optional<ServerIdentity> tls) {
    if (tls) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        BIO* certs = BIO_new_mem_buf(tls->certificatePem.data(), int(tls->certificatePem.size()));
        X509* leaf = PEM_read_bio_X509(certs, nullptr, nullptr, nullptr);
        SSL_CTX_use_certificate(ctx, leaf);
        X509_free(leaf);
        while (X509* chain = PEM_read_bio_X509(certs, nullptr, nullptr, nullptr))
            SSL_CTX_add_extra_chain_cert(ctx, chain);
        ERR_clear_error();
        BIO_free(certs);
        BIO* keyBio = BIO_new_mem_buf(tls->keyPem.data(), int(tls->keyPem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
        SSL_CTX_use_PrivateKey(ctx, key);
        EVP_PKEY_free(key);
        BIO_free(keyBio);
        tls_context_ = ctx;
    }
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("listening failed");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    char stop = 1;
    (void)!write(stop_pipe_[1], &stop, 1);
    acceptor_.join();
    std::vector<Worker> threads;
    {
        std::lock_guard<std::mutex> lock(mu_);
        threads.swap(threads_);
    }
    for (auto& w : threads)
        w.thread.join();
    close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    if (tls_context_ != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX*>(tls_context_));
}

void ScriptedHttpServer::AddReply(ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mu_);
    replies_.push_back(std::move(reply));
}

void ScriptedHttpServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
            return;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        threads_.push_back({std::thread([this, fd, done] {
                                Serve(fd);
                                done->store(true);
                            }),
                            done});
    }
}

void ScriptedHttpServer::Serve(int fd) {
    SSL* ssl = nullptr;
    if (tls_context_ != nullptr) {
        ssl = SSL_new(static_cast<SSL_CTX*>(tls_context_));
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            // The client refused the certificate (or went away): nothing to serve.
            SSL_free(ssl);
            ERR_clear_error();
            close(fd);
            return;
        }
    }
    {
        Channel channel(fd, stop_pipe_[0], ssl);
        std::optional<ScriptedReply> reply;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!replies_.empty()) {
                reply = std::move(replies_.front());
                replies_.pop_front();
                last_reply_ = reply;
            } else {
                reply = last_reply_;
            }
        }
        std::string request;
        bool open = reply && (!reply->readRequest || ReadRequest(channel, &request));
        if (open && reply->readRequest) {
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back({std::move(request)});
            changed_.notify_all();
        }
        for (size_t i = 0; open && i < reply->pieces.size(); ++i)
            open = channel.Write(reply->pieces[i]);
        if (open && reply->after == ScriptedReply::After::KeepOpen) {
            char buffer[4096];
            while (channel.Read(buffer, sizeof buffer) > 0) {
            }
        }
    }
    close(fd);
}

std::vector<ScriptedHttpServer::Request> ScriptedHttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

bool ScriptedHttpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

UnansweredListener::UnansweredListener() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 0) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    port_ = ntohs(address.sin_port);
    // Connect fillers until one is left hanging: from then on the accept queue is full and the
    // kernel drops every new SYN.
    for (int i = 0; i < 16 && !ready_; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        fillers_.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            continue;
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 300) == 0)
            ready_ = true;
    }
}

UnansweredListener::~UnansweredListener() {
    for (int fd : fillers_)
        close(fd);
    if (listen_fd_ >= 0)
        close(listen_fd_);
}

}  // namespace k47test
