// Linux implementation file of the platform layer: may include Linux system headers.
// The client side of local servers: activation (connect, or start the LocalServer32 command and
// wait for the class), the connection, and the proxy of each remote object.
//
// One connection per activation: every object reached through a class object obtained by one
// CoGetClassObject travels on that connection, and the connection closes when the last proxy on
// it is released (the server then releases whatever it still holds for it). Calls on one
// connection go one at a time: a call holds the connection's call lock from sending the request
// to reading its reply, so replies need no sorting and several threads calling one proxy simply
// queue. Threads that want to call in parallel use objects of separate activations (as the local
// client's worker and its callers do). A Release message is one record that the server does not
// answer, so it is sent without the call lock.
//
// Each remote object has one proxy manager here, its identity: QueryInterface(IID_IUnknown)
// gives it, AddRef and Release count locally, and it holds the references the server counted for
// it (one per time the object was received) and gives them all back with one Release message when
// its own count reaches 0. It owns one proxy per interface, made by that interface's proxy/stub
// factory and aggregated into it; a QueryInterface for an interface the server has not been asked
// for yet crosses once. The connection's table finds the manager of an object number so that an
// object received twice keeps one identity; a manager whose count already reached 0 is never
// revived (a new one replaces it).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "com/com_internal.h"
#include "com/local/com_local_server.h"
#include "com/local/com_local_socket.h"
#include "com/local/com_rpc.h"
#include "k47/localserver.h"
#include "support/boundary.h"
#include "support/eintr.h"

extern char** environ;

using Microsoft::WRL::ComPtr;

namespace k47::com::local {
namespace {

std::atomic<unsigned> g_start_timeout_ms{10000};
constexpr int kHelloTimeoutMs = 10000;

class ProxyManager;

class ClientConnection : public std::enable_shared_from_this<ClientConnection> {
  public:
    explicit ClientConnection(support::UniqueFd fd) : fd_(std::move(fd)) {}

    // The first exchange: the server exports its class object for `riid`. S_FALSE when the
    // connection ended without an answer.
    HRESULT Hello(REFIID riid, com::local::ObjRef* ref);
    HRESULT Call(uint64_t object, REFIID iid, ULONG method, const std::vector<uint8_t>& args,
                 k47::RpcMessage* reply, HRESULT* result);
    void SendRelease(uint64_t object, uint64_t count);
    // Interface riid of a referenced object: its proxy manager, made or found.
    HRESULT Import(const com::local::ObjRef& ref, REFIID riid, void** ppv);
    HRESULT Unmarshal(k47::RpcMessage* message, REFIID riid, void** ppv);
    void Forget(uint64_t object, ProxyManager* manager);

  private:
    support::UniqueFd fd_;
    std::mutex call_mu_;
    com::local::Receiver receiver_;  // guarded by call_mu_
    uint64_t next_call_ = 1;         // guarded by call_mu_
    std::atomic<bool> broken_{false};
    std::mutex table_mu_;
    std::unordered_map<uint64_t, ProxyManager*> managers_;  // guarded by table_mu_
};

class ProxyManager final : public IUnknown {
  public:
    ProxyManager(std::shared_ptr<ClientConnection> connection, uint64_t object)
        : connection_(std::move(connection)), object_(object) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override {
        return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            connection_->Forget(object_, this);
            connection_->SendRelease(object_, remote_refs_.load(std::memory_order_acquire));
            delete this;
        }
        return left;
    }

    // For the connection's table, under its lock: a reference unless the count reached 0.
    bool TryAddRef() noexcept {
        ULONG count = refs_.load(std::memory_order_relaxed);
        while (count != 0) {
            if (refs_.compare_exchange_weak(count, count + 1, std::memory_order_relaxed))
                return true;
        }
        return false;
    }
    // Another reference counted by the server, for an interface it has a stub for.
    void Received(REFIID iid) {
        remote_refs_.fetch_add(1, std::memory_order_acq_rel);
        std::lock_guard<std::mutex> guard(mu_);
        MarkRemote(iid);
    }

  private:
    // The channel of one proxy; owned by the manager, not reference-counted.
    class Channel final : public IK47RpcChannel {
      public:
        Channel(ProxyManager* manager, const IID& iid) : manager_(manager), iid_(iid) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (ppv == nullptr)
                return E_POINTER;
            if (riid == IID_IUnknown || riid == IID_IK47RpcChannel) {
                *ppv = static_cast<IK47RpcChannel*>(this);
                return S_OK;
            }
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return 2; }
        STDMETHODIMP_(ULONG) Release() override { return 1; }
        STDMETHODIMP SendReceive(ULONG method, k47::RpcMessage* request, k47::RpcMessage* reply,
                                 HRESULT* result) override {
            if (request == nullptr || reply == nullptr || result == nullptr)
                return E_POINTER;
            return manager_->connection_->Call(manager_->object_, iid_, method, request->bytes(),
                                               reply, result);
        }
        // Only null crosses from the client to the server.
        STDMETHODIMP MarshalInterface(k47::RpcMessage* message, REFIID riid,
                                      IUnknown* object) override {
            if (message == nullptr)
                return E_POINTER;
            if (object != nullptr)
                return E_NOTIMPL;
            com::local::ObjRef ref;
            ref.iid = riid;
            message->WriteValue(static_cast<uint32_t>(sizeof(ref)));
            message->WriteValue(ref);
            return S_OK;
        }
        STDMETHODIMP UnmarshalInterface(k47::RpcMessage* message, REFIID riid,
                                        void** ppv) override {
            if (message == nullptr || ppv == nullptr)
                return E_POINTER;
            return manager_->connection_->Unmarshal(message, riid, ppv);
        }

      private:
        ProxyManager* manager_;
        IID iid_;
    };

    struct Proxy {
        IID iid;
        std::unique_ptr<Channel> channel;
        ComPtr<IUnknown> inner;
        void* itf = nullptr;
    };

    ~ProxyManager() {
        // The proxies go before their channels.
        for (auto& proxy : proxies_)
            proxy.inner.Reset();
    }
    void MarkRemote(REFIID iid) {  // requires mu_
        for (const IID& known : remote_)
            if (known == iid)
                return;
        remote_.push_back(iid);
    }
    bool KnownRemote(REFIID iid) {  // requires mu_
        for (const IID& known : remote_)
            if (known == iid)
                return true;
        return false;
    }
    void* FindProxy(REFIID iid) {  // requires mu_
        for (const Proxy& proxy : proxies_)
            if (proxy.iid == iid)
                return proxy.itf;
        return nullptr;
    }

    std::shared_ptr<ClientConnection> connection_;
    const uint64_t object_;
    std::atomic<ULONG> refs_{0};
    std::atomic<uint64_t> remote_refs_{0};
    std::mutex mu_;
    std::vector<Proxy> proxies_;  // guarded by mu_
    std::vector<IID> remote_;     // interfaces the server has stubs for; guarded by mu_
};

STDMETHODIMP ProxyManager::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) {
        AddRef();
        *ppv = static_cast<IUnknown*>(this);
        return S_OK;
    }
    return support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&]() -> HRESULT {
        bool remote = false;
        {
            std::lock_guard<std::mutex> guard(mu_);
            if (void* itf = FindProxy(riid)) {
                AddRef();
                *ppv = itf;
                return S_OK;
            }
            remote = KnownRemote(riid);
        }
        // Without a proxy here, the interface cannot be used whatever the server says.
        ComPtr<IK47PSFactory> factory;
        if (riid == IID_IMarshal || FAILED(FindPSFactory(riid, factory.GetAddressOf())))
            return E_NOINTERFACE;
        if (!remote) {
            k47::RpcMessage request;
            request.WriteValue(riid);
            k47::RpcMessage reply;
            HRESULT result = E_FAIL;
            HRESULT hr =
                connection_->Call(object_, IID_IUnknown, 0, request.bytes(), &reply, &result);
            if (FAILED(hr))
                return hr;
            if (FAILED(result))
                return result;
            std::lock_guard<std::mutex> guard(mu_);
            MarkRemote(riid);
        }
        Proxy made;
        made.iid = riid;
        made.channel = std::make_unique<Channel>(this, riid);
        HRESULT hr = factory->CreateProxy(this, riid, made.channel.get(), made.inner.GetAddressOf(),
                                          &made.itf);
        if (FAILED(hr))
            return hr;
        if (!made.inner || made.itf == nullptr)
            return E_UNEXPECTED;
        std::lock_guard<std::mutex> guard(mu_);
        if (void* itf = FindProxy(riid)) {
            // Another thread made it meanwhile: keep that one (ours goes when `made` does).
            AddRef();
            *ppv = itf;
            made.inner.Reset();
            return S_OK;
        }
        proxies_.push_back(std::move(made));
        AddRef();
        *ppv = proxies_.back().itf;
        return S_OK;
    });
}

HRESULT ClientConnection::Hello(REFIID riid, com::local::ObjRef* ref) {
    std::lock_guard<std::mutex> guard(call_mu_);
    com::local::Header header;
    header.kind = com::local::Kind::kHello;
    header.iid = riid;
    // A server that refused us may have closed already; its answer is still there to read.
    (void)com::local::SendMessage(fd_.get(), header, {});
    // A server that accepted but hangs must not hang its clients' activation.
    timeval limit{kHelloTimeoutMs / 1000, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    com::local::Message welcome;
    HRESULT hr = receiver_.Receive(fd_.get(), &welcome);
    timeval none{0, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
    if (hr != S_OK || welcome.header.kind != com::local::Kind::kWelcome) {
        broken_ = true;
        // Closed or reset without an answer: a server on its way out (its backlog took us).
        if (hr == S_FALSE || hr == RPC_E_SERVER_DIED)
            return S_FALSE;
        return CO_E_SERVER_EXEC_FAILURE;
    }
    if (FAILED(welcome.header.status)) {
        broken_ = true;
        return welcome.header.status;
    }
    *ref = com::local::ObjRef{};
    ref->object_id = welcome.header.object_id;
    ref->iid = riid;
    return S_OK;
}

HRESULT ClientConnection::Call(uint64_t object, REFIID iid, ULONG method,
                               const std::vector<uint8_t>& args, k47::RpcMessage* reply,
                               HRESULT* result) {
    std::lock_guard<std::mutex> guard(call_mu_);
    if (broken_.load(std::memory_order_acquire))
        return RPC_E_DISCONNECTED;
    com::local::Header header;
    header.kind = com::local::Kind::kCall;
    header.call_id = next_call_++;
    header.object_id = object;
    header.iid = iid;
    header.method = method;
    HRESULT hr = com::local::SendMessage(fd_.get(), header, args);
    if (hr == E_OUTOFMEMORY)
        return hr;  // too large to send; the connection is fine
    if (FAILED(hr)) {
        broken_ = true;
        return hr;
    }
    com::local::Message answer;
    hr = receiver_.Receive(fd_.get(), &answer);
    if (hr != S_OK) {
        broken_ = true;
        return hr == S_FALSE ? RPC_E_SERVER_DIED : hr;
    }
    if (answer.header.kind != com::local::Kind::kReply || answer.header.call_id != header.call_id) {
        broken_ = true;
        return RPC_E_INVALID_DATA;
    }
    if (FAILED(answer.header.status))
        return answer.header.status;
    *result = answer.header.result;
    *reply = k47::RpcMessage(std::move(answer.body));
    return S_OK;
}

void ClientConnection::SendRelease(uint64_t object, uint64_t count) {
    if (count == 0 || broken_.load(std::memory_order_acquire))
        return;
    com::local::Header header;
    header.kind = com::local::Kind::kRelease;
    header.object_id = object;
    header.status = static_cast<int32_t>(std::min<uint64_t>(count, INT32_MAX));
    // Lost only when the server is gone, and then it has released everything anyway.
    (void)com::local::SendMessage(fd_.get(), header, {});
}

void ClientConnection::Forget(uint64_t object, ProxyManager* manager) {
    std::lock_guard<std::mutex> guard(table_mu_);
    auto found = managers_.find(object);
    if (found != managers_.end() && found->second == manager)
        managers_.erase(found);
}

HRESULT ClientConnection::Import(const com::local::ObjRef& ref, REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (ref.object_id == 0)
        return S_OK;  // a null pointer
    ProxyManager* manager = nullptr;
    {
        std::lock_guard<std::mutex> guard(table_mu_);
        auto found = managers_.find(ref.object_id);
        if (found != managers_.end() && found->second->TryAddRef()) {
            manager = found->second;
        } else {
            manager = new (std::nothrow) ProxyManager(shared_from_this(), ref.object_id);
            if (manager == nullptr) {
                // Still counted by the server: give it back.
                SendRelease(ref.object_id, 1);
                return E_OUTOFMEMORY;
            }
            manager->AddRef();
            managers_[ref.object_id] = manager;
        }
    }
    manager->Received(ref.iid);
    HRESULT hr = manager->QueryInterface(riid, ppv);
    manager->Release();
    return hr;
}

HRESULT ClientConnection::Unmarshal(k47::RpcMessage* message, REFIID riid, void** ppv) {
    *ppv = nullptr;
    uint32_t size = 0;
    com::local::ObjRef ref;
    if (!message->ReadValue(&size) || size != sizeof(ref) || !message->ReadValue(&ref) ||
        ref.magic != com::local::ObjRef::kObjRefMagic)
        return RPC_E_INVALID_DATA;
    return support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&] { return Import(ref, riid, ppv); });
}

// The LocalServer32 command split into arguments: blanks separate, double quotes group, a
// backslash before a double quote makes it literal.
std::vector<std::string> SplitCommand(const std::string& command) {
    std::vector<std::string> args;
    std::string current;
    bool in_arg = false;
    bool quoted = false;
    for (size_t i = 0; i < command.size(); ++i) {
        char c = command[i];
        if (c == '\\' && i + 1 < command.size() && command[i + 1] == '"') {
            current += '"';
            in_arg = true;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
            in_arg = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (in_arg)
                args.push_back(std::move(current));
            current.clear();
            in_arg = false;
        } else {
            current += c;
            in_arg = true;
        }
    }
    if (in_arg)
        args.push_back(std::move(current));
    return args;
}

// Starts the server with "-Embedding", in a session of its own, with default signal handling and
// with its standard streams on /dev/null, so that the client's terminal, blocked signals and
// pipes (a caller waiting for the end of the client's output) do not reach it. 0 on failure.
pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return 0;
    posix_spawn_file_actions_t files;
    if (posix_spawn_file_actions_init(&files) != 0) {
        posix_spawnattr_destroy(&attr);
        return 0;
    }
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = args[0].find('/') != std::string::npos
                 ? posix_spawn(&pid, argv[0], &files, &attr, argv.data(), environ)
                 : posix_spawnp(&pid, argv[0], &files, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : 0;
}

// The server outlives this call; whoever waits for it keeps it from staying a zombie.
void Reap(pid_t pid) {
    try {
        std::thread([pid] {
            support::RetryOnEintr([pid] { return waitpid(pid, nullptr, 0); });
        }).detach();
    } catch (...) {
        // Without a thread it stays a zombie until this process ends; nothing worse.
    }
}

// A running server reached: the connection and the class object's reference.
struct Reached {
    std::shared_ptr<ClientConnection> connection;
    com::local::ObjRef ref;
};

// S_OK; S_FALSE when nobody serves the class there (no socket, refused, or dropped before
// answering); else why the server cannot be used.
HRESULT Reach(const std::string& path, REFIID riid, Reached* out) {
    int error = 0;
    support::UniqueFd fd = ConnectLocalSocket(path, &error);
    if (!fd)
        return (error == ENOENT || error == ECONNREFUSED) ? S_FALSE : HresultFromErrno(error);
    // Our own folder is private, but the server must be this user's all the same.
    if (PeerUid(fd.get()) != static_cast<long>(geteuid()))
        return E_ACCESSDENIED;
    auto connection = std::make_shared<ClientConnection>(std::move(fd));
    HRESULT hr = connection->Hello(riid, &out->ref);
    if (hr == S_OK)
        out->connection = std::move(connection);
    return hr;
}

// Nobody serves the class: start the registry's LocalServer32 command and wait for the class.
HRESULT StartServer(REFCLSID clsid, const std::string& path, REFIID riid, Reached* out) {
    const std::string name = GuidKeyName(clsid);
    std::optional<std::string> command = ReadClassesString("CLSID\\" + name + "\\LocalServer32");
    std::vector<std::string> args = command ? SplitCommand(*command) : std::vector<std::string>();
    if (args.empty())
        return REGDB_E_CLASSNOTREG;
    const std::string folder = LocalServerFolder();
    HRESULT hr = EnsureLocalServerFolder(folder);
    if (FAILED(hr))
        return hr;
    const unsigned timeout_ms = g_start_timeout_ms.load(std::memory_order_relaxed);
    // One starter at a time; the others wait here and then find the class offered.
    FileLock starting(folder + "/" + name + ".start", timeout_ms + 1000);
    if (!starting.held())
        return CO_E_SERVER_EXEC_FAILURE;
    hr = Reach(path, riid, out);
    if (hr != S_FALSE)
        return hr;
    args.push_back("-Embedding");
    pid_t pid = Spawn(args);
    if (pid == 0)
        return CO_E_SERVER_EXEC_FAILURE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        hr = Reach(path, riid, out);
        if (hr != S_FALSE) {
            Reap(pid);
            return hr;
        }
        pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD))
            return CO_E_SERVER_EXEC_FAILURE;  // ended without offering the class
        if (std::chrono::steady_clock::now() >= deadline) {
            Reap(pid);  // it may still come up, but too late for this caller
            return CO_E_SERVER_EXEC_FAILURE;
        }
        // The server's bind is not something we can wait on: ask again shortly.
        timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

HRESULT LocalServerGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    *ppv = nullptr;
    const std::string path = LocalServerSocketPath(clsid);
    Reached reached;
    HRESULT hr = Reach(path, riid, &reached);
    if (hr == S_FALSE)
        hr = StartServer(clsid, path, riid, &reached);
    if (FAILED(hr))
        return hr;
    return reached.connection->Import(reached.ref, riid, ppv);
}

}  // namespace k47::com::local

namespace k47 {

void SetLocalServerStartTimeout(unsigned milliseconds) noexcept {
    com::local::g_start_timeout_ms.store(milliseconds, std::memory_order_relaxed);
}

}  // namespace k47
