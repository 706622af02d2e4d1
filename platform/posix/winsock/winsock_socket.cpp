// Linux implementation file of the platform layer: may include Linux system headers, but not the
// socket headers (winsock2.h is included; the Linux socket calls are behind socket_sys.h).
// The socket object: handle registration, closing, emulated blocking, and the network-event
// record of WSAEventSelect (see winsock_socket.h).
#include "winsock/winsock_socket.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <mutex>
#include <unordered_set>

#include "winsock/socket_sys.h"
#include "winsock/winsock_error.h"
#include "winsock/winsock_overlapped.h"

namespace k47::winsock {

namespace {

using kernel::WaitLock;

struct SocketRegistry {
    std::mutex mutex;
    std::unordered_set<SOCKET> live;
};

SocketRegistry& Registry() {
    static SocketRegistry* registry = new SocketRegistry;  // never destroyed: used at exit
    return *registry;
}

int BitIndex(LONG bit) {
    return __builtin_ctz(static_cast<unsigned>(bit));
}

}  // namespace

// The poll source a selection attaches to its event.
class SelectSource final : public kernel::PollSource {
  public:
    explicit SelectSource(std::weak_ptr<Socket> socket) : socket_(std::move(socket)) {}

    pollfd PollFd(const WaitLock& lock) const override {
        auto socket = socket_.lock();
        return socket ? socket->SelectPollFd(lock) : pollfd{-1, 0, 0};
    }

    bool OnReady(const WaitLock& lock, short revents) override {
        auto socket = socket_.lock();
        return socket && socket->NoteReadiness(lock, revents);
    }

  private:
    const std::weak_ptr<Socket> socket_;
};

Socket::Socket(support::UniqueFd fd, support::UniqueFd cancel_fd, int family, int type)
    : fd_(std::move(fd)), cancel_fd_(std::move(cancel_fd)), family_(family), type_(type) {}

SOCKET Socket::Register(std::shared_ptr<Socket> socket) noexcept {
    Socket* raw = socket.get();
    HANDLE handle = kernel::InsertHandle(std::move(socket));
    if (handle == nullptr) {
        Fail(WSAEMFILE);
        return INVALID_SOCKET;
    }
    auto s = reinterpret_cast<SOCKET>(handle);
    raw->handle_ = s;
    try {
        SocketRegistry& registry = Registry();
        std::lock_guard<std::mutex> guard(registry.mutex);
        registry.live.insert(s);
    } catch (...) {
        kernel::CloseHandleEntry(handle);
        Fail(WSAENOBUFS);
        return INVALID_SOCKET;
    }
    return s;
}

std::shared_ptr<Socket> Socket::Lookup(SOCKET s) noexcept {
    if (!LibraryStarted()) {
        Fail(WSANOTINITIALISED);
        return nullptr;
    }
    auto socket = kernel::LookupHandleAs<Socket>(reinterpret_cast<HANDLE>(s));
    if (!socket) {
        Fail(WSAENOTSOCK);
    }
    return socket;
}

bool Socket::Close(SOCKET s) noexcept {
    auto socket = Lookup(s);
    if (!socket) {
        return false;
    }
    if (!kernel::CloseHandleEntry(reinterpret_cast<HANDLE>(s))) {
        Fail(WSAENOTSOCK);  // closed by another thread meanwhile
        return false;
    }
    return true;  // the descriptor goes with the last reference, ours among them
}

void Socket::CloseAll() noexcept {
    std::unordered_set<SOCKET> live;
    {
        SocketRegistry& registry = Registry();
        std::lock_guard<std::mutex> guard(registry.mutex);
        live.swap(registry.live);
    }
    for (SOCKET s : live) {
        auto socket = kernel::LookupHandleAs<Socket>(reinterpret_cast<HANDLE>(s));
        if (socket) {
            {
                WaitLock lock;
                socket->abort_silently_ = true;
            }
            kernel::CloseHandleEntry(reinterpret_cast<HANDLE>(s));
        }
    }
}

void Socket::OnHandleClosed() {
    {
        Released released;
        WaitLock lock;
        CloseUnderLock(lock, &released);
    }
    SocketRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    registry.live.erase(handle_);
}

void Socket::CloseUnderLock(const WaitLock& lock, Released* released) {
    if (closed_) {
        return;
    }
    closed_ = true;
    if (select_event_) {
        select_event_->DetachSource(lock, select_source_.get());
    }
    released->event = std::move(select_event_);
    released->source = std::move(select_source_);
    select_mask_ = 0;
    released->operations = std::move(operations_);
    operations_.clear();
    for (const auto& op : released->operations) {
        op->Cancel(lock, !abort_silently_);
    }
    eventfd_write(cancel_fd_.get(), 1);  // ends blocking calls of other threads
}

int Socket::WaitReady(short events) const {
    pollfd fds[2] = {{fd_.get(), events, 0}, {cancel_fd_.get(), POLLIN, 0}};
    for (;;) {
        int n = winsock::sys::SocketSyscalls().poll(fds, 2, -1);
        if (n < 0 && errno != EINTR) {
            return WinsockErrorFromErrno(errno);
        }
        if (n > 0) {
            return fds[1].revents != 0 ? WSAEINTR : 0;
        }
    }
}

int Socket::SetNonBlocking(const WaitLock&, bool on) {
    if (!on && select_mask_ != 0) {
        return WSAEINVAL;
    }
    nonblocking_ = on;
    return 0;
}

void Socket::MarkListening(const WaitLock& lock) {
    listening_ = true;
    bound_ = true;
    PollNow(lock);
}

void Socket::MarkShutdown(const WaitLock& lock, int how) {
    if (how == SD_SEND || how == SD_BOTH) {
        send_shut_ = true;
    }
    if (how == SD_RECEIVE || how == SD_BOTH) {
        // Linux now shows the socket as read-hung-up for good; that is no peer event.
        receive_shut_ = true;
    }
    PollNow(lock);
}

void Socket::FinishConnect(int error) {
    connecting_ = false;
    if (error == 0) {
        connected_ = true;
        bound_ = true;
        write_armed_ = true;
    } else {
        stored_error_ = error;  // what getsockopt(SO_ERROR) reports
    }
    Record(FD_CONNECT, error == 0 ? 0 : WinsockErrorFromErrno(error));
}

void Socket::NoteConnectStarted(const WaitLock& lock, int result) {
    enabled_ |= FD_CONNECT;
    if (result == EINPROGRESS) {
        connecting_ = true;
        bound_ = true;
        PollNow(lock);
        return;
    }
    unsigned long before = recordings_;
    FinishConnect(result);
    if (recordings_ != before && select_event_) {
        select_event_->Set(lock);
    }
    PollNow(lock);
}

void Socket::RefreshConnect(const WaitLock& lock) {
    if (!connecting_) {
        return;
    }
    pollfd p{fd_.get(), POLLOUT, 0};
    if (winsock::sys::SocketSyscalls().poll(&p, 1, 0) > 0 && NoteReadiness(lock, p.revents) &&
        select_event_) {
        select_event_->Set(lock);
    }
    if (select_event_) {
        select_event_->SourcesChanged(lock);
    }
}

void Socket::MarkAccepted(const WaitLock&) {
    connected_ = true;
    bound_ = true;
}

void Socket::ReenableRead(const WaitLock& lock) {
    enabled_ |= FD_READ | FD_OOB;
    PollNow(lock);
}

void Socket::ReenableAccept(const WaitLock& lock) {
    enabled_ |= FD_ACCEPT;
    PollNow(lock);
}

void Socket::NoteSend(const WaitLock& lock, bool would_block) {
    enabled_ |= FD_WRITE;
    if (would_block) {
        write_armed_ = true;
        PollNow(lock);
    }
}

int Socket::TakeStoredError(const WaitLock&, bool for_data_call) {
    if (stored_error_ == 0 || (for_data_call && stream() && !connected_)) {
        return 0;
    }
    int error = stored_error_;
    stored_error_ = 0;
    return error;
}

void Socket::Select(const WaitLock& lock, std::shared_ptr<kernel::Event> event, LONG events,
                    Released* released) {
    if (select_event_) {
        select_event_->DetachSource(lock, select_source_.get());
    }
    released->event = std::move(select_event_);
    released->source = std::move(select_source_);
    select_event_.reset();
    select_source_.reset();
    record_ = WSANETWORKEVENTS{};
    select_mask_ = events & FD_ALL_EVENTS;
    nonblocking_ = true;  // whatever the mask, as on Windows
    if (select_mask_ == 0 || !event) {
        select_mask_ = 0;
        return;
    }
    enabled_ = FD_ALL_EVENTS;
    // FD_WRITE is due at once on a socket that can send: a connected stream or a datagram one.
    write_armed_ = !stream() || (connected_ && !hung_up_);
    select_event_ = std::move(event);
    auto source =
        std::make_shared<SelectSource>(std::static_pointer_cast<Socket>(shared_from_this()));
    select_source_ = source;
    select_event_->AttachSource(lock, std::move(source));
    // Conditions that hold already are recorded now ("the event has already happened").
    if (stream() && connected_ && peer_closed_ &&
        Record(FD_CLOSE, stored_error_ != 0 ? WSAECONNRESET : 0)) {
        select_event_->Set(lock);
    }
    PollNow(lock);
}

void Socket::InheritSelection(const WaitLock& lock, const Socket& listener) {
    if (listener.select_mask_ != 0 && listener.select_event_) {
        Released ignored;  // a new socket has no selection to release
        Select(lock, listener.select_event_, listener.select_mask_, &ignored);
    }
}

void Socket::TakeRecord(const WaitLock& lock, WSANETWORKEVENTS* out) {
    if (select_mask_ != 0) {
        pollfd p = SelectPollFd(lock);
        if (p.events != 0 && winsock::sys::SocketSyscalls().poll(&p, 1, 0) > 0) {
            NoteReadiness(lock, p.revents);
        }
    }
    out->lNetworkEvents = record_.lNetworkEvents;
    for (int i = 0; i < FD_MAX_EVENTS; ++i) {
        if (record_.lNetworkEvents & (1 << i)) {
            out->iErrorCode[i] = record_.iErrorCode[i];
        }
    }
    record_ = WSANETWORKEVENTS{};
}

void Socket::AddOperation(const WaitLock&, std::shared_ptr<OverlappedOp> op) {
    operations_.push_back(std::move(op));
}

void Socket::RemoveOperation(const WaitLock&, const OverlappedOp* op) {
    for (auto it = operations_.begin(); it != operations_.end(); ++it) {
        if (it->get() == op) {
            operations_.erase(it);
            return;
        }
    }
}

std::shared_ptr<OverlappedOp> Socket::FindOperation(const WaitLock&, const OVERLAPPED* ov) const {
    for (const auto& op : operations_) {
        if (op->overlapped() == ov) {
            return op;
        }
    }
    return nullptr;
}

bool Socket::Record(LONG bit, int error) {
    if ((select_mask_ & enabled_ & bit) == 0) {
        return false;
    }
    record_.lNetworkEvents |= bit;
    record_.iErrorCode[BitIndex(bit)] = error;
    enabled_ &= ~bit;
    ++recordings_;
    return true;
}

void Socket::PollNow(const WaitLock& lock) {
    if (select_mask_ == 0 || !select_event_) {
        return;
    }
    pollfd p = SelectPollFd(lock);
    if (p.events != 0 && winsock::sys::SocketSyscalls().poll(&p, 1, 0) > 0 &&
        NoteReadiness(lock, p.revents)) {
        select_event_->Set(lock);
    }
    // The mask may have changed: blocked waiters collect it again.
    select_event_->SourcesChanged(lock);
}

pollfd Socket::SelectPollFd(const WaitLock&) const {
    pollfd p{fd_.get(), 0, 0};
    if (closed_ || select_mask_ == 0) {
        return p;
    }
    const LONG live = select_mask_ & enabled_;
    if (!stream()) {
        if (live & FD_READ) {
            p.events |= POLLIN;
        }
        if ((live & FD_WRITE) && write_armed_) {
            p.events |= POLLOUT;
        }
        return p;
    }
    if (connecting_) {
        // The end of the connect is needed for FD_CONNECT and for everything that follows it.
        if (live & (FD_CONNECT | FD_WRITE | FD_READ | FD_CLOSE)) {
            p.events |= POLLOUT;
        }
        return p;
    }
    if (listening_) {
        if (live & FD_ACCEPT) {
            p.events |= POLLIN;
        }
        return p;
    }
    if (!connected_) {
        return p;  // a fresh or failed stream socket shows POLLHUP for good: never poll it
    }
    const bool eof_known = peer_closed_ || receive_shut_;
    if ((live & FD_READ) && (!eof_known || winsock::sys::BytesReadable(fd_.get()) > 0)) {
        p.events |= POLLIN;
    }
    if ((live & FD_WRITE) && write_armed_ && !hung_up_ && !send_shut_) {
        p.events |= POLLOUT;
    }
    // Asked for alongside POLLIN too: an end of stream must be told apart from data.
    if (!eof_known && (live & (FD_CLOSE | FD_READ))) {
        p.events |= POLLRDHUP;
    }
    return p;
}

bool Socket::NoteReadiness(const WaitLock&, short revents) {
    // Whether anything was recorded now (the record may hold the same bit from before, when
    // nobody enumerated it: the camera never does).
    const unsigned long before = recordings_;
    auto recorded = [&] { return recordings_ != before; };
    if (closed_) {
        return false;
    }
    if (!stream()) {
        if (revents & POLLERR) {
            int error = winsock::sys::TakePendingError(fd_.get());  // clears the standing POLLERR
            if (error > 0) {
                stored_error_ = error;
            }
        }
        if (revents & POLLIN) {
            Record(FD_READ, 0);
        }
        if ((revents & POLLOUT) && write_armed_ && Record(FD_WRITE, 0)) {
            write_armed_ = false;
        }
        return recorded();
    }
    if (connecting_) {
        if (revents & (POLLOUT | POLLERR | POLLHUP)) {
            int error = winsock::sys::TakePendingError(fd_.get());
            FinishConnect(error < 0 ? errno : error);
        } else {
            return recorded();
        }
    }
    if (listening_) {
        if (revents & POLLIN) {
            Record(FD_ACCEPT, 0);
        }
        return recorded();
    }
    if (!connected_) {
        return recorded();
    }
    if (revents & POLLERR) {
        int error = winsock::sys::TakePendingError(fd_.get());
        if (error > 0) {
            stored_error_ = error;
        }
    }
    if (revents & POLLHUP) {
        hung_up_ = true;
    }
    if ((revents & (POLLRDHUP | POLLHUP | POLLERR)) && !receive_shut_) {
        peer_closed_ = true;
    }
    if ((revents & POLLIN) && winsock::sys::BytesReadable(fd_.get()) > 0) {
        Record(FD_READ, 0);
    }
    if ((revents & POLLOUT) && write_armed_ && !hung_up_ && Record(FD_WRITE, 0)) {
        write_armed_ = false;
    }
    if (peer_closed_) {
        int error = 0;
        if (stored_error_ != 0) {
            error = stored_error_ == ECONNRESET ? WSAECONNRESET : WSAECONNABORTED;
        }
        Record(FD_CLOSE, error);
    }
    return recorded();
}

}  // namespace k47::winsock
