// Linux implementation file of the platform layer: may include Linux system headers.
// CoCreateFreeThreadedMarshaler: an aggregatable object whose inner IUnknown answers IMarshal.
//
// Aggregation follows the COM rules: the object returned is the inner, non-delegating IUnknown,
// which owns the reference count and answers IUnknown (itself) and IMarshal; the IMarshal
// interface delegates QueryInterface, AddRef and Release to the controlling unknown, which the
// object does not AddRef. Without an outer object the inner IUnknown is the controlling one.
//
// Within the process (MSHCTX_INPROC, MSHCTX_CROSSCTX) the marshaled form is the raw interface
// pointer: the unmarshaling thread gets the very same pointer. A normal marshal holds a reference
// that unmarshaling (or ReleaseMarshalData) hands over; a table-strong one holds it until
// ReleaseMarshalData; a table-weak one holds none. Other contexts would go to the standard
// marshaler, which does not exist yet: they answer E_NOTIMPL.
//
// Thread-safe: the reference count is atomic and marshaling keeps no state in the object.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

#include "com/com_object.h"
#include "objbase.h"
#include "wrl/client.h"

namespace {

// {0000033A-0000-0000-C000-000000000046}, the unmarshal class of the free-threaded marshaler.
constexpr CLSID kInProcFreeMarshaler = {
    0x0000033A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The marshaled form: flags, the marshaling process, the pointer.
struct Record {
    DWORD flags;
    DWORD process;
    uint64_t pointer;
};
static_assert(sizeof(Record) == 16);

bool InProcess(DWORD context) noexcept {
    return context == MSHCTX_INPROC || context == MSHCTX_CROSSCTX;
}

bool HoldsReference(DWORD flags) noexcept {
    return (flags & MSHLFLAGS_TABLEWEAK) == 0;
}

// The reference of a normal marshal goes to the first unmarshal; table marshals keep theirs.
bool UnmarshalConsumes(DWORD flags) noexcept {
    return (flags & (MSHLFLAGS_TABLESTRONG | MSHLFLAGS_TABLEWEAK)) == 0;
}

HRESULT ReadRecord(IStream* stream, Record* record) {
    if (stream == nullptr)
        return E_INVALIDARG;
    ULONG got = 0;
    HRESULT hr = stream->Read(record, sizeof(*record), &got);
    if (FAILED(hr))
        return hr;
    if (got != sizeof(*record) || record->process != static_cast<DWORD>(getpid()) ||
        record->pointer == 0)
        return RPC_E_INVALID_DATA;
    return S_OK;
}

// The standard marshaler for what does not stay in the process.
Microsoft::WRL::ComPtr<IMarshal> Standard(REFIID riid, void* pv, DWORD context, void* dest,
                                          DWORD flags, HRESULT* hr) {
    Microsoft::WRL::ComPtr<IMarshal> standard;
    *hr = CoGetStandardMarshal(riid, static_cast<IUnknown*>(pv), context, dest, flags,
                               standard.GetAddressOf());
    return standard;
}

// Owns itself through the inner reference count (the last inner Release deletes it).
class FreeThreadedMarshaler final : public IMarshal {
  public:
    static HRESULT Create(IUnknown* outer, IUnknown** inner) {
        auto* object = new (std::nothrow) FreeThreadedMarshaler(outer);
        if (object == nullptr)
            return E_OUTOFMEMORY;
        *inner = &object->inner_;
        return S_OK;
    }

    // IUnknown of IMarshal: the controlling unknown's.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return outer_->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

    STDMETHODIMP GetUnmarshalClass(REFIID riid, void* pv, DWORD context, void* dest, DWORD flags,
                                   CLSID* cid) override {
        if (cid == nullptr)
            return E_POINTER;
        if (!InProcess(context)) {
            HRESULT hr = S_OK;
            auto standard = Standard(riid, pv, context, dest, flags, &hr);
            return FAILED(hr) ? hr
                              : standard->GetUnmarshalClass(riid, pv, context, dest, flags, cid);
        }
        *cid = kInProcFreeMarshaler;
        return S_OK;
    }

    STDMETHODIMP GetMarshalSizeMax(REFIID riid, void* pv, DWORD context, void* dest, DWORD flags,
                                   DWORD* size) override {
        if (size == nullptr)
            return E_POINTER;
        if (!InProcess(context)) {
            HRESULT hr = S_OK;
            auto standard = Standard(riid, pv, context, dest, flags, &hr);
            return FAILED(hr) ? hr
                              : standard->GetMarshalSizeMax(riid, pv, context, dest, flags, size);
        }
        *size = sizeof(Record);
        return S_OK;
    }

    STDMETHODIMP MarshalInterface(IStream* stream, REFIID riid, void* pv, DWORD context, void* dest,
                                  DWORD flags) override {
        if (stream == nullptr || pv == nullptr)
            return E_INVALIDARG;
        if (!InProcess(context)) {
            HRESULT hr = S_OK;
            auto standard = Standard(riid, pv, context, dest, flags, &hr);
            return FAILED(hr) ? hr
                              : standard->MarshalInterface(stream, riid, pv, context, dest, flags);
        }
        Microsoft::WRL::ComPtr<IUnknown> itf;
        HRESULT hr = static_cast<IUnknown*>(pv)->QueryInterface(
            riid, reinterpret_cast<void**>(itf.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        Record record{flags, static_cast<DWORD>(getpid()),
                      reinterpret_cast<uint64_t>(static_cast<void*>(itf.Get()))};
        ULONG written = 0;
        hr = stream->Write(&record, sizeof(record), &written);
        if (FAILED(hr))
            return hr;
        if (written != sizeof(record))
            return E_FAIL;
        if (HoldsReference(flags))
            (void)itf.Detach();  // the reference now lives in the stream
        return S_OK;
    }

    STDMETHODIMP UnmarshalInterface(IStream* stream, REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        Record record{};
        HRESULT hr = ReadRecord(stream, &record);
        if (FAILED(hr))
            return hr;
        auto* itf = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(record.pointer));
        hr = itf->QueryInterface(riid, ppv);
        if (UnmarshalConsumes(record.flags))
            itf->Release();
        return hr;
    }

    STDMETHODIMP ReleaseMarshalData(IStream* stream) override {
        Record record{};
        HRESULT hr = ReadRecord(stream, &record);
        if (FAILED(hr))
            return hr;
        if (HoldsReference(record.flags))
            reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(record.pointer))->Release();
        return S_OK;
    }

    STDMETHODIMP DisconnectObject(DWORD) override { return S_OK; }

  private:
    class NonDelegating final : public k47::com::RefCountedObject<IUnknown> {
      public:
        explicit NonDelegating(FreeThreadedMarshaler* self) noexcept : self_(self) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (ppv == nullptr)
                return E_POINTER;
            if (riid == IID_IUnknown) {
                *ppv = static_cast<IUnknown*>(this);
                AddRef();
                return S_OK;
            }
            if (riid == IID_IMarshal) {
                // AddRef through the interface handed out, which counts on the controlling unknown.
                *ppv = static_cast<IMarshal*>(self_);
                self_->AddRef();
                return S_OK;
            }
            *ppv = nullptr;
            return E_NOINTERFACE;
        }

      private:
        void FinalRelease() override { delete self_; }

        FreeThreadedMarshaler* self_;
    };

    explicit FreeThreadedMarshaler(IUnknown* outer) noexcept
        : inner_(this), outer_(outer != nullptr ? outer : &inner_) {}
    ~FreeThreadedMarshaler() = default;

    NonDelegating inner_;
    IUnknown* outer_;  // not counted: the outer object owns us, not the reverse
};

}  // namespace

EXTERN_C HRESULT STDAPICALLTYPE CoCreateFreeThreadedMarshaler(LPUNKNOWN punkOuter,
                                                              LPUNKNOWN* ppunkMarshal) {
    if (ppunkMarshal == nullptr)
        return E_INVALIDARG;
    *ppunkMarshal = nullptr;
    return FreeThreadedMarshaler::Create(punkOuter, ppunkMarshal);
}
