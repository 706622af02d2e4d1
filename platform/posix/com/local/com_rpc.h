// Pieces of the cross-process transport shared by its client side (com_local_client.cpp), its
// server side (com_local_server.cpp) and the standard marshaler (com_std_marshal.cpp).
//
// Threading: FindPSFactory and MemoryStream are free-threaded; an ExportTable belongs to the
// thread of its connection.
#pragma once

#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

#include "com/local/com_rpc_wire.h"
#include "k47/rpc.h"
#include "objbase.h"

namespace k47::com::local {

// The proxy/stub factory of an interface: the platform's own for IClassFactory, else the class
// named by HKCR\Interface\{IID}\ProxyStubClsid32 (a class object registered in this process or
// the InprocServer32 module's). E_NOINTERFACE when the interface has none.
HRESULT FindPSFactory(REFIID riid, IK47PSFactory** factory);

// The platform's proxy/stub factory of IClassFactory.
IK47PSFactory* ClassFactoryPSFactory() noexcept;

// The objects one server connection hands out: Export keeps `object` alive for the client and
// gives the reference to write (a null object gives object_id 0).
class ExportTable {
  public:
    virtual HRESULT Export(IUnknown* object, REFIID riid, com::local::ObjRef* ref) = 0;

  protected:
    ~ExportTable() = default;
};

// What a server connection passes as pvDestContext to IMarshal::MarshalInterface, so that the
// standard marshaler (reached directly or through the free-threaded marshaler) knows the
// connection that will carry the reference.
struct ExportContext {
    static constexpr uint32_t kMagic = 0x4337344B;  // "K47C"
    uint32_t magic = kMagic;
    ExportTable* table = nullptr;
};

// A growable in-memory IStream (Read, Write, Seek; the rest E_NOTIMPL). Owned by its creator;
// reference counting is not used.
class MemoryStream final : public IStream {
  public:
    std::vector<uint8_t> data;
    size_t position = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position_out) override;
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }
};

struct GuidHash {
    size_t operator()(const GUID& g) const noexcept;
};

}  // namespace k47::com::local
