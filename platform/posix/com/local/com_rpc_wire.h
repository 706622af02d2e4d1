// The records of the cross-process transport on a SOCK_SEQPACKET socket, and sending and
// receiving them.
//
// A message is a Header followed by its body (the marshalled arguments). On the socket it goes
// as one or more fragments of at most kMaxFragment bytes, each with a FragmentPrefix; the first
// carries kStart, the last kEnd. SEQPACKET keeps record boundaries, so no length fields are
// needed. Only one message in each direction is ever fragmented at a time (calls go one at a
// time per connection, replies come from one thread), but a one-fragment release may come
// between the fragments of a call: the Receiver hands such a complete message out at once and
// goes on assembling.
//
// Kinds:  Hello   client -> server: iid = the interface wanted of the class object.
//         Welcome server -> client: status; object_id = the class object's reference.
//         Call    client -> server: call_id, object_id, iid, method (slot); body = [in] args.
//                 iid IUnknown with method 0 is a remote QueryInterface (body: the IID).
//         Reply   server -> client: call_id, status (the transport's), result (the method's
//                 HRESULT); body = [out] args.
//         Release client -> server: object_id, count (in `status`): references given back.
//
// Threading: SendMessage may be called by several threads on one socket (each fragment is one
// atomic sendmsg); a Receiver belongs to one reading thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "guiddef.h"
#include "winerror.h"

namespace k47::com::local {

constexpr uint32_t kMagic = 0x5237344B;  // "K47R"
constexpr uint16_t kVersion = 1;
constexpr size_t kMaxFragment = 60 * 1024;        // well under the default SO_SNDBUF
constexpr size_t kMaxMessage = 16 * 1024 * 1024;  // a larger message is refused

enum class Kind : uint16_t { kHello = 1, kWelcome = 2, kCall = 3, kReply = 4, kRelease = 5 };

struct Header {
    uint32_t magic = kMagic;
    Kind kind = Kind::kCall;
    uint16_t version = kVersion;
    uint64_t call_id = 0;
    uint64_t object_id = 0;
    GUID iid = {};
    uint32_t method = 0;
    int32_t status = 0;
    int32_t result = 0;
    uint32_t reserved = 0;
};
static_assert(sizeof(Header) == 56);

// An object reference as the standard marshaler writes it: the object's number in the exporting
// connection (0: a null pointer) and the interface marshalled.
struct ObjRef {
    uint32_t magic = kObjRefMagic;
    uint32_t flags = 0;
    uint64_t object_id = 0;
    GUID iid = {};
    static constexpr uint32_t kObjRefMagic = 0x4F37344B;  // "K47O"
};
static_assert(sizeof(ObjRef) == 32);

struct Message {
    Header header;
    std::vector<uint8_t> body;
};

// Sends one message. S_OK, or RPC_E_SERVER_DIED_DNE when the peer is gone (nothing of it was
// taken), E_OUTOFMEMORY for a body above kMaxMessage.
HRESULT SendMessage(int fd, const Header& header, const std::vector<uint8_t>& body) noexcept;

class Receiver {
  public:
    // The next complete message: S_OK; S_FALSE when the peer closed the connection;
    // RPC_E_INVALID_DATA for records that do not follow the format (the connection is then
    // useless); RPC_E_SERVER_DIED for a connection reset.
    HRESULT Receive(int fd, Message* out);

  private:
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> partial_;
    bool assembling_ = false;
};

}  // namespace k47::com::local
