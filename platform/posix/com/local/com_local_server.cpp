// Linux implementation file of the platform layer: may include Linux system headers.
// The serving side of local servers: class objects offered on a socket, one acceptor thread per
// offered class, one thread per accepted connection.
//
// A connection's thread reads one message at a time and answers it before it reads the next, so
// the calls of one client connection are served one after another, while a call that blocks holds
// up no other connection. Everything the connection handed out is in its export table: each
// object (by identity) with the number of references the client holds and a stub per interface
// the client uses. A Release message gives references back; when the count reaches 0, or when
// the connection ends (the client closed it or died: recv returns 0), the stubs and the object
// are released on the connection's thread. Only that thread touches the table, so it needs no
// lock. Object numbers are never reused within a connection.
//
// Revoking a class stops its acceptor and removes its socket; connections already made go on
// until their clients leave, as objects already handed out on Windows stay usable.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
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

using Microsoft::WRL::ComPtr;

namespace k47::com::local {
namespace {

constexpr unsigned kBindLockTimeoutMs = 5000;

std::atomic<size_t> g_connections{0};

class ServerConnection;

// The channel a connection gives its stubs: it lives as long as the connection and is not
// reference-counted.
class ServerChannel final : public IK47RpcChannel {
  public:
    explicit ServerChannel(ServerConnection* connection) : connection_(connection) {}

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
    STDMETHODIMP SendReceive(ULONG, k47::RpcMessage*, k47::RpcMessage*, HRESULT*) override {
        return E_UNEXPECTED;
    }
    STDMETHODIMP MarshalInterface(k47::RpcMessage* message, REFIID riid, IUnknown* object) override;
    // Objects of the client do not cross to the server.
    STDMETHODIMP UnmarshalInterface(k47::RpcMessage*, REFIID, void** ppv) override {
        if (ppv != nullptr)
            *ppv = nullptr;
        return E_NOTIMPL;
    }

  private:
    ServerConnection* connection_;
};

class ServerConnection final : public ExportTable {
  public:
    ServerConnection(support::UniqueFd fd, ComPtr<IUnknown> class_object)
        : fd_(std::move(fd)), class_object_(std::move(class_object)), channel_(this) {}

    // The connection thread's body: serves until the client leaves, then releases everything.
    void Run();

    HRESULT Export(IUnknown* object, REFIID riid, com::local::ObjRef* ref) override;
    HRESULT MarshalOut(k47::RpcMessage* message, REFIID riid, IUnknown* object);

  private:
    struct Exported {
        ComPtr<IUnknown> identity;
        uint64_t refs = 0;  // references the client holds
        std::vector<std::pair<IID, ComPtr<IK47RpcStub>>> stubs;
    };

    HRESULT EnsureStub(Exported& entry, REFIID riid, IUnknown* object);
    void OnHello(const com::local::Header& header);
    void OnCall(com::local::Message& message);
    void OnRelease(const com::local::Header& header);
    void Reply(const com::local::Header& call, HRESULT status, HRESULT result,
               const std::vector<uint8_t>& body);
    void ReleaseAll();

    support::UniqueFd fd_;
    ComPtr<IUnknown> class_object_;
    ServerChannel channel_;
    std::map<uint64_t, Exported> exports_;  // node-based: entries stay put while stubs export
    std::unordered_map<IUnknown*, uint64_t> by_identity_;
    uint64_t next_object_ = 1;
    bool welcomed_ = false;
};

STDMETHODIMP ServerChannel::MarshalInterface(k47::RpcMessage* message, REFIID riid,
                                             IUnknown* object) {
    if (message == nullptr)
        return E_POINTER;
    return support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED,
                             [&] { return connection_->MarshalOut(message, riid, object); });
}

// An object that marshals itself is asked first, as COM does: one that aggregates the
// free-threaded marshaler hands other processes to the standard marshaler, which exports it here
// through the ExportContext. Custom marshaling to other classes is not supported.
HRESULT ServerConnection::MarshalOut(k47::RpcMessage* message, REFIID riid, IUnknown* object) {
    std::vector<uint8_t> bytes;
    ComPtr<IMarshal> custom;
    if (object != nullptr && SUCCEEDED(object->QueryInterface(
                                 IID_IMarshal, reinterpret_cast<void**>(custom.GetAddressOf())))) {
        CLSID unmarshal_class{};
        HRESULT hr = custom->GetUnmarshalClass(riid, object, MSHCTX_LOCAL, nullptr,
                                               MSHLFLAGS_NORMAL, &unmarshal_class);
        if (FAILED(hr))
            return hr;
        if (unmarshal_class != CLSID_StdMarshal)
            return E_NOTIMPL;
        MemoryStream stream;
        ExportContext context;
        context.table = this;
        hr = custom->MarshalInterface(&stream, riid, object, MSHCTX_LOCAL, &context,
                                      MSHLFLAGS_NORMAL);
        if (FAILED(hr))
            return hr;
        bytes = std::move(stream.data);
    } else {
        com::local::ObjRef ref;
        HRESULT hr = Export(object, riid, &ref);
        if (FAILED(hr))
            return hr;
        const auto* p = reinterpret_cast<const uint8_t*>(&ref);
        bytes.assign(p, p + sizeof(ref));
    }
    message->WriteValue(static_cast<uint32_t>(bytes.size()));
    message->Write(bytes.data(), bytes.size());
    return S_OK;
}

HRESULT ServerConnection::EnsureStub(Exported& entry, REFIID riid, IUnknown* object) {
    if (riid == IID_IUnknown)
        return S_OK;  // the identity's QueryInterface is served by the platform itself
    for (const auto& [iid, stub] : entry.stubs) {
        if (iid == riid)
            return S_OK;
    }
    ComPtr<IK47PSFactory> factory;
    HRESULT hr = FindPSFactory(riid, factory.GetAddressOf());
    if (FAILED(hr))
        return hr;
    ComPtr<IK47RpcStub> stub;
    hr = factory->CreateStub(riid, object, stub.GetAddressOf());
    if (FAILED(hr))
        return hr;
    entry.stubs.emplace_back(riid, std::move(stub));
    return S_OK;
}

HRESULT ServerConnection::Export(IUnknown* object, REFIID riid, com::local::ObjRef* ref) {
    *ref = com::local::ObjRef{};
    ref->iid = riid;
    if (object == nullptr)
        return S_OK;
    ComPtr<IUnknown> identity;
    HRESULT hr =
        object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    auto known = by_identity_.find(identity.Get());
    const bool fresh = known == by_identity_.end();
    const uint64_t id = fresh ? next_object_++ : known->second;
    Exported& entry = exports_[id];
    if (fresh)
        entry.identity = identity;
    hr = EnsureStub(entry, riid, object);
    if (FAILED(hr)) {
        if (fresh)
            exports_.erase(id);
        return hr;
    }
    if (fresh)
        by_identity_.emplace(identity.Get(), id);
    ++entry.refs;
    ref->object_id = id;
    return S_OK;
}

void ServerConnection::Reply(const com::local::Header& call, HRESULT status, HRESULT result,
                             const std::vector<uint8_t>& body) {
    com::local::Header header;
    header.kind = com::local::Kind::kReply;
    header.call_id = call.call_id;
    header.object_id = call.object_id;
    header.iid = call.iid;
    header.method = call.method;
    header.status = status;
    header.result = result;
    // A client that left cannot be told; the end of the connection follows.
    (void)com::local::SendMessage(fd_.get(), header,
                                  FAILED(status) ? std::vector<uint8_t>() : body);
}

void ServerConnection::OnHello(const com::local::Header& hello) {
    com::local::Header header;
    header.kind = com::local::Kind::kWelcome;
    com::local::ObjRef ref;
    HRESULT hr = support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&] {
        // The class object is exported like any other object, for the interface asked.
        ComPtr<IUnknown> wanted;
        HRESULT found = class_object_->QueryInterface(
            hello.iid, reinterpret_cast<void**>(wanted.GetAddressOf()));
        return SUCCEEDED(found) ? Export(wanted.Get(), hello.iid, &ref) : found;
    });
    header.status = hr;
    header.object_id = SUCCEEDED(hr) ? ref.object_id : 0;
    (void)com::local::SendMessage(fd_.get(), header, {});
    welcomed_ = SUCCEEDED(hr);
}

void ServerConnection::OnCall(com::local::Message& message) {
    const com::local::Header& call = message.header;
    auto found = exports_.find(call.object_id);
    if (found == exports_.end()) {
        Reply(call, CO_E_OBJNOTCONNECTED, S_OK, {});
        return;
    }
    Exported& entry = found->second;
    k47::RpcMessage request(std::move(message.body));
    if (call.iid == IID_IUnknown) {
        // Remote QueryInterface: the interface must exist on the object and have a stub.
        IID wanted;
        if (call.method != 0 || !request.ReadValue(&wanted)) {
            Reply(call, RPC_E_INVALID_DATA, S_OK, {});
            return;
        }
        ComPtr<IUnknown> itf;
        HRESULT result =
            entry.identity->QueryInterface(wanted, reinterpret_cast<void**>(itf.GetAddressOf()));
        if (SUCCEEDED(result)) {
            HRESULT hr = EnsureStub(entry, wanted, itf.Get());
            if (FAILED(hr))
                result = hr;
        }
        Reply(call, S_OK, result, {});
        return;
    }
    ComPtr<IK47RpcStub> stub;
    for (const auto& [iid, candidate] : entry.stubs) {
        if (iid == call.iid)
            stub = candidate;
    }
    if (!stub) {
        Reply(call, E_NOINTERFACE, S_OK, {});
        return;
    }
    k47::RpcMessage reply;
    HRESULT result = E_FAIL;
    // Nothing may leave a stub; be safe if it does.
    HRESULT status = support::Boundary(E_OUTOFMEMORY, RPC_E_SERVERFAULT, [&] {
        return stub->Invoke(call.method, &request, &reply, &channel_, &result);
    });
    Reply(call, status, result, reply.bytes());
}

void ServerConnection::OnRelease(const com::local::Header& header) {
    auto found = exports_.find(header.object_id);
    if (found == exports_.end())
        return;
    const uint64_t count = static_cast<uint32_t>(header.status);
    Exported& entry = found->second;
    entry.refs -= std::min(count, entry.refs);
    if (entry.refs > 0)
        return;
    Exported gone = std::move(entry);
    by_identity_.erase(gone.identity.Get());
    exports_.erase(found);
    gone.stubs.clear();  // stubs first: they hold interfaces of the object
}

void ServerConnection::ReleaseAll() {
    std::map<uint64_t, Exported> gone;
    gone.swap(exports_);
    by_identity_.clear();
    for (auto& [id, entry] : gone)
        entry.stubs.clear();
    gone.clear();
    class_object_.Reset();
}

void ServerConnection::Run() {
    HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    com::local::Receiver receiver;
    com::local::Message message;
    // Out of memory (or any failure) while serving: the connection ends, which releases what it
    // held.
    auto drop = [] {};
    support::Boundary(drop, drop, [&] {
        while (receiver.Receive(fd_.get(), &message) == S_OK) {
            if (message.header.kind == com::local::Kind::kHello && !welcomed_) {
                OnHello(message.header);
            } else if (message.header.kind == com::local::Kind::kCall && welcomed_) {
                OnCall(message);
            } else if (message.header.kind == com::local::Kind::kRelease && welcomed_) {
                OnRelease(message.header);
            } else {
                break;  // not our protocol: drop the client
            }
        }
    });
    ReleaseAll();
    fd_.reset();
    if (SUCCEEDED(joined))
        CoUninitialize();
    g_connections.fetch_sub(1, std::memory_order_acq_rel);
}

// One offered class.
// The class object itself is not held here: each new connection takes it from the process's
// registrations, so the registration's reference is the only one until a client comes.
struct Publication {
    CLSID clsid{};
    DWORD flags = 0;
    std::string path;
    std::string lock_path;
    dev_t device = 0;
    ino_t inode = 0;
    support::UniqueFd listener;
    support::UniqueFd wake;
    std::thread acceptor;
};

struct Publications {
    std::mutex mu;
    std::map<DWORD, std::unique_ptr<Publication>> by_cookie;
};

// Never destroyed: acceptor and connection threads may still run while the process exits.
Publications& Published() {
    static auto* table = new Publications;
    return *table;
}

// Removes the socket file if it is still the one this publication bound (a newer server may
// have replaced it meanwhile).
void WithdrawSocket(Publication& pub) {
    FileLock lock(pub.lock_path, kBindLockTimeoutMs);
    struct stat st {};
    if (stat(pub.path.c_str(), &st) == 0 && st.st_dev == pub.device && st.st_ino == pub.inode)
        unlink(pub.path.c_str());
    pub.listener.reset();
}

// True when the other end closes the connection within a moment.
bool DroppedSoon(int fd) {
    pollfd p{fd, POLLIN, 0};
    int n = support::RetryOnEintr([&] { return poll(&p, 1, 200); });
    return n > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

void Refuse(int fd, HRESULT why) {
    com::local::Header header;
    header.kind = com::local::Kind::kWelcome;
    header.status = why;
    (void)com::local::SendMessage(fd, header, {});
}

void StartConnection(support::UniqueFd fd, const ComPtr<IUnknown>& object) {
    g_connections.fetch_add(1, std::memory_order_acq_rel);
    try {
        auto connection = std::make_shared<ServerConnection>(std::move(fd), object);
        std::thread([connection] { connection->Run(); }).detach();
    } catch (...) {
        // No thread (or no memory): the socket closes and the client sees the refusal as a
        // broken connection.
        g_connections.fetch_sub(1, std::memory_order_acq_rel);
    }
}

void Accept(Publication* pub) {
    for (;;) {
        pollfd fds[2] = {{pub->listener.get(), POLLIN, 0}, {pub->wake.get(), POLLIN, 0}};
        if (support::RetryOnEintr([&] { return poll(fds, 2, -1); }) < 0)
            return;
        if (fds[1].revents != 0)
            return;  // revoked
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        support::UniqueFd fd(accept4(pub->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The pending connection stays in the backlog and poll reports it again: wait
                // a little instead of spinning until descriptors are free.
                poll(nullptr, 0, 50);
            }
            continue;
        }
        // Only the same user: the socket file's mode already says so, but a folder opened up by
        // mistake must not let others in.
        if (PeerUid(fd.get()) != static_cast<long>(geteuid())) {
            Refuse(fd.get(), E_ACCESSDENIED);
            continue;
        }
        ComPtr<IUnknown> object = FindRegisteredClassObject(pub->clsid, CLSCTX_LOCAL_SERVER);
        if (!object) {
            Refuse(fd.get(), REGDB_E_CLASSNOTREG);  // revoked meanwhile
            continue;
        }
        StartConnection(std::move(fd), object);
        if (pub->flags == REGCLS_SINGLEUSE) {
            WithdrawSocket(*pub);
            return;
        }
    }
}

}  // namespace

HRESULT LocalServerPublish(REFCLSID clsid, IUnknown*, DWORD flags, DWORD cookie) {
    const std::string folder = LocalServerFolder();
    HRESULT hr = EnsureLocalServerFolder(folder);
    if (FAILED(hr))
        return hr;
    auto pub = std::make_unique<Publication>();
    pub->clsid = clsid;
    pub->flags = flags;
    pub->path = folder + "/" + GuidKeyName(clsid) + ".sock";
    pub->lock_path = folder + "/" + GuidKeyName(clsid) + ".lock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (pub->path.size() >= sizeof(addr.sun_path))
        return E_INVALIDARG;
    std::memcpy(addr.sun_path, pub->path.c_str(), pub->path.size() + 1);

    {
        FileLock lock(pub->lock_path, kBindLockTimeoutMs);
        if (!lock.held())
            return HRESULT_FROM_WIN32(ERROR_BUSY);
        int error = 0;
        if (support::UniqueFd probe = ConnectLocalSocket(pub->path, &error)) {
            // A server that is still exiting takes connections into its backlog and then drops
            // them; a live one keeps them open.
            if (!DroppedSoon(probe.get()))
                return CO_E_OBJISREG;  // a live server offers the class already
            error = ECONNREFUSED;
        }
        if (error == ECONNREFUSED)
            unlink(pub->path.c_str());  // left behind by a server that died
        else if (error != ENOENT)
            return HresultFromErrno(error);
        pub->listener.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (!pub->listener)
            return HresultFromErrno(errno);
        if (bind(pub->listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
            return HresultFromErrno(errno);
        struct stat st {};
        if (chmod(pub->path.c_str(), 0600) != 0 || stat(pub->path.c_str(), &st) != 0 ||
            listen(pub->listener.get(), 64) != 0) {
            hr = HresultFromErrno(errno);
            unlink(pub->path.c_str());
            return hr;
        }
        pub->device = st.st_dev;
        pub->inode = st.st_ino;
    }
    pub->wake.reset(eventfd(0, EFD_CLOEXEC));
    if (!pub->wake) {
        hr = HresultFromErrno(errno);
        WithdrawSocket(*pub);
        return hr;
    }
    try {
        Publication* raw = pub.get();
        pub->acceptor = std::thread(Accept, raw);
        Publications& table = Published();
        std::lock_guard<std::mutex> guard(table.mu);
        table.by_cookie.emplace(cookie, std::move(pub));
    } catch (...) {
        if (pub) {
            if (pub->acceptor.joinable()) {
                eventfd_write(pub->wake.get(), 1);
                pub->acceptor.join();
            }
            WithdrawSocket(*pub);
        }
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void LocalServerRevoke(DWORD cookie) {
    std::unique_ptr<Publication> pub;
    {
        Publications& table = Published();
        std::lock_guard<std::mutex> guard(table.mu);
        auto found = table.by_cookie.find(cookie);
        if (found == table.by_cookie.end())
            return;
        pub = std::move(found->second);
        table.by_cookie.erase(found);
    }
    eventfd_write(pub->wake.get(), 1);
    if (pub->acceptor.joinable())
        pub->acceptor.join();
    if (pub->listener)
        WithdrawSocket(*pub);
}

}  // namespace k47::com::local

namespace k47 {

size_t LocalServerConnectionCount() noexcept {
    return com::local::g_connections.load(std::memory_order_acquire);
}

}  // namespace k47
