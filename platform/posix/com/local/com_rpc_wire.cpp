// Linux implementation file of the platform layer: may include Linux system headers.
// Fragmenting, sending and reassembling the transport's messages (see com_rpc_wire.h).
#include "com/local/com_rpc_wire.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "support/eintr.h"

namespace k47::com::local {
namespace {

struct FragmentPrefix {
    uint32_t magic;
    uint32_t flags;
};
static_assert(sizeof(FragmentPrefix) == 8);

constexpr uint32_t kFragmentMagic = 0x4637344B;  // "K47F"
constexpr uint32_t kStart = 1;
constexpr uint32_t kEnd = 2;

// One fragment: prefix and up to two pieces (header and/or body part), one sendmsg.
bool SendFragment(int fd, uint32_t flags, const void* a, size_t a_size, const void* b,
                  size_t b_size) {
    FragmentPrefix prefix{kFragmentMagic, flags};
    iovec parts[3] = {
        {&prefix, sizeof(prefix)}, {const_cast<void*>(a), a_size}, {const_cast<void*>(b), b_size}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = 3;
    // SEQPACKET: all of the record or nothing
    return support::RetryOnEintr([&] { return sendmsg(fd, &msg, MSG_NOSIGNAL); }) >= 0;
}

}  // namespace

HRESULT SendMessage(int fd, const Header& header, const std::vector<uint8_t>& body) noexcept {
    if (body.size() > kMaxMessage)
        return E_OUTOFMEMORY;
    const size_t first = std::min(body.size(), kMaxFragment - sizeof(Header));
    uint32_t flags = kStart | (first == body.size() ? kEnd : 0);
    if (!SendFragment(fd, flags, &header, sizeof(header), body.data(), first))
        return RPC_E_SERVER_DIED_DNE;
    for (size_t pos = first; pos < body.size();) {
        size_t n = std::min(body.size() - pos, kMaxFragment);
        flags = pos + n == body.size() ? kEnd : 0;
        // Once part of the message is out, losing the peer is no longer "nothing taken"; the
        // reply will not come either, and the receiver of the reply reports it.
        if (!SendFragment(fd, flags, body.data() + pos, n, nullptr, 0))
            return RPC_E_SERVER_DIED;
        pos += n;
    }
    return S_OK;
}

HRESULT Receiver::Receive(int fd, Message* out) {
    buffer_.resize(sizeof(FragmentPrefix) + kMaxFragment);
    for (;;) {
        iovec part{buffer_.data(), buffer_.size()};
        msghdr msg{};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        ssize_t n = support::RetryOnEintr([&] { return recvmsg(fd, &msg, 0); });
        if (n < 0)
            return RPC_E_SERVER_DIED;
        if (n == 0)
            return S_FALSE;
        if ((msg.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(n) < sizeof(FragmentPrefix))
            return RPC_E_INVALID_DATA;
        FragmentPrefix prefix;
        std::memcpy(&prefix, buffer_.data(), sizeof(prefix));
        if (prefix.magic != kFragmentMagic)
            return RPC_E_INVALID_DATA;
        const uint8_t* data = buffer_.data() + sizeof(prefix);
        const size_t size = static_cast<size_t>(n) - sizeof(prefix);
        const bool start = (prefix.flags & kStart) != 0;
        const bool end = (prefix.flags & kEnd) != 0;

        const uint8_t* whole = nullptr;
        size_t whole_size = 0;
        if (start && end) {
            whole = data;  // a complete message, even in the middle of another one
            whole_size = size;
        } else if (start) {
            if (assembling_)
                return RPC_E_INVALID_DATA;
            partial_.assign(data, data + size);
            assembling_ = true;
            continue;
        } else {
            if (!assembling_ || partial_.size() + size > kMaxMessage + sizeof(Header))
                return RPC_E_INVALID_DATA;
            partial_.insert(partial_.end(), data, data + size);
            if (!end)
                continue;
            assembling_ = false;
            whole = partial_.data();
            whole_size = partial_.size();
        }
        if (whole_size < sizeof(Header))
            return RPC_E_INVALID_DATA;
        std::memcpy(&out->header, whole, sizeof(Header));
        if (out->header.magic != kMagic || out->header.version != kVersion)
            return RPC_E_INVALID_DATA;
        out->body.assign(whole + sizeof(Header), whole + whole_size);
        if (whole == partial_.data())
            partial_.clear();
        return S_OK;
    }
}

}  // namespace k47::com::local
