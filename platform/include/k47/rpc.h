// Linux-only: the interface between the platform's cross-process transport and a module's
// marshalling code (its proxies and stubs). Not part of the Windows API; on Windows this role is
// played by the RPC runtime's IPSFactoryBuffer, IRpcProxyBuffer, IRpcStubBuffer and
// IRpcChannelBuffer, which are much larger than what a same-machine transport needs.
//
// How a call crosses: the platform finds the proxy/stub class of an interface under
// HKCR\Interface\{IID}\ProxyStubClsid32, gets its class object (a class object registered in the
// process, or the InprocServer32 module's DllGetClassObject) and asks it for IK47PSFactory. In the
// client, CreateProxy makes a proxy for one interface of one remote object, aggregated into the
// platform's proxy of that object (which owns QueryInterface, AddRef and Release). A proxy method
// writes its [in] arguments into an RpcMessage and calls IK47RpcChannel::SendReceive with its slot
// number; the server's stub (from CreateStub) reads them, calls the real object, writes the [out]
// arguments and returns the method's HRESULT, which SendReceive hands back to the proxy with the
// reply. Interface pointers are written and read through the channel, which turns them into object
// references of the connection.
//
// Threading: factories, proxies and stubs are free-threaded. A stub is called by one thread at a
// time; a proxy may be called from any number of threads at once.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "unknwn.h"

namespace k47 {

// The bytes of one call's arguments or one reply, written front to back and read back in the
// same order. Reads past the end fail and mark the message bad; nothing else throws but
// std::bad_alloc. Values are stored in the machine's byte order (both ends run on this machine).
class RpcMessage {
  public:
    RpcMessage() = default;
    explicit RpcMessage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    void Write(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    template <class T>
    void WriteValue(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        Write(&value, sizeof(value));
    }

    // False (and the message bad from then on) when fewer than `size` bytes remain.
    bool Read(void* data, size_t size) {
        if (bad_ || bytes_.size() - read_ < size) {
            bad_ = true;
            return false;
        }
        if (size > 0)
            std::memcpy(data, bytes_.data() + read_, size);
        read_ += size;
        return true;
    }
    template <class T>
    bool ReadValue(T* value) {
        static_assert(std::is_trivially_copyable_v<T>);
        return Read(value, sizeof(*value));
    }

    bool bad() const noexcept { return bad_; }
    size_t remaining() const noexcept { return bytes_.size() - read_; }
    const std::vector<uint8_t>& bytes() const noexcept { return bytes_; }
    std::vector<uint8_t>& bytes() noexcept { return bytes_; }
    void Rewind() noexcept {
        read_ = 0;
        bad_ = false;
    }

  private:
    std::vector<uint8_t> bytes_;
    size_t read_ = 0;
    bool bad_ = false;
};

}  // namespace k47

// The platform's side of one remote interface (client) or one connection (server).
MIDL_INTERFACE("A4E1C0D2-5B7F-4E38-9C61-0F2D8B3A7E41")
IK47RpcChannel : public IUnknown {
  public:
    // Client: sends method `method` (its slot in the interface's table of functions, IUnknown's
    // three counted) with the [in] arguments in *request and waits for the reply, whose [out]
    // arguments land in *reply and whose HRESULT lands in *result. The return value is the
    // transport's: S_OK when the call was made, else why not (the server is gone, the data was
    // refused, ...); *result is then meaningless. Server: E_UNEXPECTED.
    virtual HRESULT STDMETHODCALLTYPE SendReceive(ULONG method, k47::RpcMessage * request,
                                                  k47::RpcMessage * reply, HRESULT * result) = 0;
    // Server: writes a reference to interface riid of pUnk (null allowed) for the other side,
    // keeping the object alive for it. Client: E_NOTIMPL (objects of the client do not cross).
    virtual HRESULT STDMETHODCALLTYPE MarshalInterface(k47::RpcMessage * message, REFIID riid,
                                                       IUnknown * pUnk) = 0;
    // Client: reads a reference written by MarshalInterface and gives interface riid of it
    // (null when a null pointer was written). Server: E_NOTIMPL.
    virtual HRESULT STDMETHODCALLTYPE UnmarshalInterface(k47::RpcMessage * message, REFIID riid,
                                                         void** ppv) = 0;
};
__CRT_UUID_DECL(IK47RpcChannel, 0xA4E1C0D2, 0x5B7F, 0x4E38, 0x9C, 0x61, 0x0F, 0x2D, 0x8B, 0x3A,
                0x7E, 0x41)
inline constexpr IID IID_IK47RpcChannel = K47UuidOf<IK47RpcChannel>::value;

// The server's side of one interface of one object.
MIDL_INTERFACE("A4E1C0D2-5B7F-4E38-9C61-0F2D8B3A7E42")
IK47RpcStub : public IUnknown {
  public:
    // Reads the [in] arguments of method `method` from *request, calls the object, writes the
    // [out] arguments to *reply and the object's HRESULT to *result. Returns RPC_E_INVALID_DATA
    // for arguments that cannot be read, E_NOTIMPL for a method that cannot cross, else S_OK.
    virtual HRESULT STDMETHODCALLTYPE Invoke(ULONG method, k47::RpcMessage * request,
                                             k47::RpcMessage * reply, IK47RpcChannel * channel,
                                             HRESULT * result) = 0;
};
__CRT_UUID_DECL(IK47RpcStub, 0xA4E1C0D2, 0x5B7F, 0x4E38, 0x9C, 0x61, 0x0F, 0x2D, 0x8B, 0x3A, 0x7E,
                0x42)
inline constexpr IID IID_IK47RpcStub = K47UuidOf<IK47RpcStub>::value;

// The class object of a module's proxy/stub class answers this.
MIDL_INTERFACE("A4E1C0D2-5B7F-4E38-9C61-0F2D8B3A7E43")
IK47PSFactory : public IUnknown {
  public:
    // A proxy for interface riid whose calls go through `channel` (which it keeps a reference
    // to). It is aggregated into pUnkOuter, which it does not AddRef: QueryInterface, AddRef and
    // Release of *ppv go to pUnkOuter. *ppInner receives the proxy's own (non-delegating)
    // IUnknown, whose last Release destroys it; *ppv the interface pointer, not AddRef'd, valid
    // while *ppInner is held. E_NOINTERFACE for an interface the factory does not know.
    virtual HRESULT STDMETHODCALLTYPE CreateProxy(IUnknown * pUnkOuter, REFIID riid,
                                                  IK47RpcChannel * channel, IUnknown * *ppInner,
                                                  void** ppv) = 0;
    // A stub that calls interface riid of pUnkServer (which it keeps a reference to).
    virtual HRESULT STDMETHODCALLTYPE CreateStub(REFIID riid, IUnknown * pUnkServer,
                                                 IK47RpcStub * *ppStub) = 0;
};
__CRT_UUID_DECL(IK47PSFactory, 0xA4E1C0D2, 0x5B7F, 0x4E38, 0x9C, 0x61, 0x0F, 0x2D, 0x8B, 0x3A, 0x7E,
                0x43)
inline constexpr IID IID_IK47PSFactory = K47UuidOf<IK47PSFactory>::value;
