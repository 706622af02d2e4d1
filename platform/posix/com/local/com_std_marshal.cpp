// Linux implementation file of the platform layer: may include Linux system headers.
// The standard marshaler (CoGetStandardMarshal), the lookup of an interface's proxy/stub factory,
// the platform's own proxy and stub of IClassFactory, and an in-memory stream.
//
// The standard marshaler only marshals to another process of this machine, and only inside a
// cross-process call: the connection that will carry the reference comes in pvDestContext from
// the server connection (an ExportContext). Anywhere else, and for other contexts, it answers
// E_NOTIMPL. References are read back by the receiving connection itself, never through a
// stream, so UnmarshalInterface and ReleaseMarshalData answer E_NOTIMPL too.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <optional>

#include "com/com_internal.h"
#include "com/com_object.h"
#include "com/local/com_rpc.h"
#include "support/boundary.h"
#include "support/utf_bridge.h"

using Microsoft::WRL::ComPtr;

namespace k47::com::local {

size_t GuidHash::operator()(const GUID& g) const noexcept {
    uint64_t parts[2];
    std::memcpy(parts, &g, sizeof(parts));
    return static_cast<size_t>(parts[0] * 0x9E3779B97F4A7C15ull ^ parts[1]);
}

STDMETHODIMP MemoryStream::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
        *ppv = static_cast<IStream*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP MemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    size_t n = std::min<size_t>(cb, data.size() - std::min(position, data.size()));
    if (n > 0)
        std::memcpy(pv, data.data() + position, n);
    position += n;
    if (pcbRead != nullptr)
        *pcbRead = static_cast<ULONG>(n);
    return n == cb ? S_OK : S_FALSE;
}

STDMETHODIMP MemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    try {
        if (data.size() < position + cb)
            data.resize(position + cb);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (cb > 0)
        std::memcpy(data.data() + position, pv, cb);
    position += cb;
    if (pcbWritten != nullptr)
        *pcbWritten = cb;
    return S_OK;
}

STDMETHODIMP MemoryStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position_out) {
    int64_t base = 0;
    switch (origin) {
        case STREAM_SEEK_SET:
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<int64_t>(position);
            break;
        case STREAM_SEEK_END:
            base = static_cast<int64_t>(data.size());
            break;
        default:
            return STG_E_INVALIDFUNCTION;
    }
    int64_t target = base + move.QuadPart;
    if (target < 0)
        return STG_E_INVALIDFUNCTION;
    position = static_cast<size_t>(target);
    if (position_out != nullptr)
        position_out->QuadPart = static_cast<ULONGLONG>(target);
    return S_OK;
}

namespace {

bool CrossProcess(DWORD context) noexcept {
    return context == MSHCTX_LOCAL || context == MSHCTX_NOSHAREDMEM;
}

// Owns itself through its reference count.
class StandardMarshaler final : public k47::com::RefCountedObject<IMarshal> {
  public:
    explicit StandardMarshaler(IUnknown* object) : object_(object) {}

    STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD context, void*, DWORD,
                                   CLSID* cid) override {
        if (cid == nullptr)
            return E_POINTER;
        if (!CrossProcess(context))
            return E_NOTIMPL;
        *cid = CLSID_StdMarshal;
        return S_OK;
    }
    STDMETHODIMP GetMarshalSizeMax(REFIID, void*, DWORD context, void*, DWORD,
                                   DWORD* size) override {
        if (size == nullptr)
            return E_POINTER;
        if (!CrossProcess(context))
            return E_NOTIMPL;
        *size = sizeof(com::local::ObjRef);
        return S_OK;
    }
    STDMETHODIMP MarshalInterface(IStream* stream, REFIID riid, void* pv, DWORD context, void* dest,
                                  DWORD) override {
        if (stream == nullptr)
            return E_INVALIDARG;
        const auto* export_context = static_cast<const ExportContext*>(dest);
        if (!CrossProcess(context) || export_context == nullptr ||
            export_context->magic != ExportContext::kMagic || export_context->table == nullptr)
            return E_NOTIMPL;
        IUnknown* object = pv != nullptr ? static_cast<IUnknown*>(pv) : object_.Get();
        com::local::ObjRef ref;
        HRESULT hr = export_context->table->Export(object, riid, &ref);
        if (FAILED(hr))
            return hr;
        ULONG written = 0;
        hr = stream->Write(&ref, sizeof(ref), &written);
        return FAILED(hr) ? hr : (written == sizeof(ref) ? S_OK : E_FAIL);
    }
    STDMETHODIMP UnmarshalInterface(IStream*, REFIID, void** ppv) override {
        if (ppv != nullptr)
            *ppv = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP ReleaseMarshalData(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP DisconnectObject(DWORD) override { return S_OK; }

  private:
    ~StandardMarshaler() override = default;
    ComPtr<IUnknown> object_;
};

// The platform's own proxies and stubs are aggregated the same way a module's are: the inner
// IUnknown owns the count, the interface's IUnknown goes to the outer object.
class ClassFactoryProxy final : public IClassFactory {
  public:
    ClassFactoryProxy(IUnknown* outer, IK47RpcChannel* channel)
        : inner_(this), outer_(outer), channel_(channel) {}

    IUnknown* inner() noexcept { return &inner_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return outer_->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;  // an object in another process cannot be aggregated
        return support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&]() -> HRESULT {
            k47::RpcMessage request;
            request.WriteValue(riid);
            k47::RpcMessage reply;
            HRESULT result = E_FAIL;
            HRESULT hr = channel_->SendReceive(3, &request, &reply, &result);
            if (FAILED(hr))
                return hr;
            if (FAILED(result))
                return result;
            hr = channel_->UnmarshalInterface(&reply, riid, ppv);
            return FAILED(hr) ? hr : result;
        });
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        return support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&] {
            k47::RpcMessage request;
            request.WriteValue(lock);
            k47::RpcMessage reply;
            HRESULT result = E_FAIL;
            HRESULT hr = channel_->SendReceive(4, &request, &reply, &result);
            return FAILED(hr) ? hr : result;
        });
    }

  private:
    class Inner final : public k47::com::RefCountedObject<IUnknown> {
      public:
        explicit Inner(ClassFactoryProxy* self) : self_(self) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (ppv == nullptr)
                return E_POINTER;
            if (riid == IID_IUnknown) {
                *ppv = this;
                AddRef();
                return S_OK;
            }
            if (riid == IID_IClassFactory) {
                *ppv = static_cast<IClassFactory*>(self_);
                self_->AddRef();
                return S_OK;
            }
            *ppv = nullptr;
            return E_NOINTERFACE;
        }

      private:
        void FinalRelease() override { delete self_; }

        ClassFactoryProxy* self_;
    };

    ~ClassFactoryProxy() = default;

    Inner inner_;
    IUnknown* outer_;  // not counted: it owns us
    ComPtr<IK47RpcChannel> channel_;
};

class ClassFactoryStub final : public k47::com::RefCountedObject<IK47RpcStub> {
  public:
    explicit ClassFactoryStub(ComPtr<IClassFactory> factory) : factory_(std::move(factory)) {}

    STDMETHODIMP Invoke(ULONG method, k47::RpcMessage* request, k47::RpcMessage* reply,
                        IK47RpcChannel* channel, HRESULT* result) override {
        switch (method) {
            case 3: {
                IID riid;
                if (!request->ReadValue(&riid))
                    return RPC_E_INVALID_DATA;
                ComPtr<IUnknown> object;
                *result = factory_->CreateInstance(nullptr, riid,
                                                   reinterpret_cast<void**>(object.GetAddressOf()));
                if (SUCCEEDED(*result)) {
                    HRESULT hr = channel->MarshalInterface(reply, riid, object.Get());
                    if (FAILED(hr))
                        *result = hr;
                }
                return S_OK;
            }
            case 4: {
                BOOL lock = FALSE;
                if (!request->ReadValue(&lock))
                    return RPC_E_INVALID_DATA;
                *result = factory_->LockServer(lock);
                return S_OK;
            }
            default:
                return E_NOTIMPL;
        }
    }

  private:
    ~ClassFactoryStub() override = default;
    ComPtr<IClassFactory> factory_;
};

// Static: never destroyed, AddRef and Release do not count.
class ClassFactoryPS final : public IK47PSFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IK47PSFactory) {
            *ppv = static_cast<IK47PSFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateProxy(IUnknown* outer, REFIID riid, IK47RpcChannel* channel,
                             IUnknown** inner, void** ppv) override {
        if (inner == nullptr || ppv == nullptr)
            return E_POINTER;
        *inner = nullptr;
        *ppv = nullptr;
        if (riid != IID_IClassFactory)
            return E_NOINTERFACE;
        if (outer == nullptr || channel == nullptr)
            return E_INVALIDARG;
        auto* proxy = new (std::nothrow) ClassFactoryProxy(outer, channel);
        if (proxy == nullptr)
            return E_OUTOFMEMORY;
        *inner = proxy->inner();
        *ppv = static_cast<IClassFactory*>(proxy);
        return S_OK;
    }
    STDMETHODIMP CreateStub(REFIID riid, IUnknown* server, IK47RpcStub** stub) override {
        if (stub == nullptr)
            return E_POINTER;
        *stub = nullptr;
        if (riid != IID_IClassFactory)
            return E_NOINTERFACE;
        ComPtr<IClassFactory> factory;
        HRESULT hr = server->QueryInterface(IID_IClassFactory,
                                            reinterpret_cast<void**>(factory.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        auto* made = new (std::nothrow) ClassFactoryStub(std::move(factory));
        if (made == nullptr)
            return E_OUTOFMEMORY;
        *stub = made;
        return S_OK;
    }
};

ClassFactoryPS g_class_factory_ps;

}  // namespace

IK47PSFactory* ClassFactoryPSFactory() noexcept {
    return &g_class_factory_ps;
}

HRESULT FindPSFactory(REFIID riid, IK47PSFactory** factory) {
    *factory = nullptr;
    if (riid == IID_IClassFactory) {
        *factory = ClassFactoryPSFactory();
        return S_OK;
    }
    std::optional<std::string> text =
        ReadClassesString("Interface\\" + GuidKeyName(riid) + "\\ProxyStubClsid32");
    if (!text)
        return E_NOINTERFACE;
    CLSID clsid{};
    if (FAILED(CLSIDFromString(k47::support::Utf8ToUtf16(*text).c_str(), &clsid)))
        return E_NOINTERFACE;
    HRESULT hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IK47PSFactory,
                                  reinterpret_cast<void**>(factory));
    return FAILED(hr) ? E_NOINTERFACE : hr;
}

}  // namespace k47::com::local

EXTERN_C HRESULT STDAPICALLTYPE CoGetStandardMarshal(REFIID, LPUNKNOWN pUnk, DWORD, LPVOID, DWORD,
                                                     LPMARSHAL* ppMarshal) {
    if (ppMarshal == nullptr)
        return E_INVALIDARG;
    *ppMarshal = nullptr;
    if (pUnk == nullptr)
        return E_INVALIDARG;
    auto* marshaler = new (std::nothrow) k47::com::local::StandardMarshaler(pUnk);
    if (marshaler == nullptr)
        return E_OUTOFMEMORY;
    *ppMarshal = marshaler;
    return S_OK;
}
