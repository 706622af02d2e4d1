// The proxy and stub of ITestRemote, as a module: DllGetClassObject serves
// CLSID_TestRemotePS, whose class object answers IK47PSFactory. Written by hand (the transport
// tests need a marshalling module that does not depend on the component library); the arguments
// go as the library's would: scalars by value, a presence byte for each [out] pointer, byte
// buffers with their count, interface pointers through the channel.
#include <atomic>
#include <new>
#include <vector>

#include "k47/rpc.h"
#include "remote_thing.h"
#include "windows.h"
#include "wrl/client.h"

using Microsoft::WRL::ComPtr;

namespace {

std::atomic<int> g_objects{0};

// A proxy of interface I aggregated into the platform's proxy manager (the outer object).
template <class I>
class Proxy : public I {
  public:
    using Interface = I;
    Proxy(IUnknown* outer, IK47RpcChannel* channel)
        : inner_(this), outer_(outer), channel_(channel) {
        ++g_objects;
    }
    virtual ~Proxy() { --g_objects; }
    IUnknown* inner() { return &inner_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return outer_->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

  protected:
    IK47RpcChannel* channel() const { return channel_.Get(); }

    // Sends the call; the reply's HRESULT, or the transport's failure.
    HRESULT Send(ULONG method, k47::RpcMessage& request, k47::RpcMessage* reply) {
        HRESULT result = E_FAIL;
        HRESULT hr = channel_->SendReceive(method, &request, reply, &result);
        return FAILED(hr) ? hr : result;
    }

  private:
    class Inner final : public IUnknown {
      public:
        explicit Inner(Proxy* self) : self_(self) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (riid == IID_IUnknown) {
                *ppv = this;
                AddRef();
                return S_OK;
            }
            if (riid == __uuidof(I)) {
                *ppv = static_cast<I*>(self_);
                self_->AddRef();
                return S_OK;
            }
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
        STDMETHODIMP_(ULONG) Release() override {
            ULONG left = --refs_;
            if (left == 0)
                delete self_;
            return left;
        }

      private:
        Proxy* self_;
        std::atomic<ULONG> refs_{1};
    };

    Inner inner_;
    IUnknown* outer_;
    ComPtr<IK47RpcChannel> channel_;
};

void WritePresence(k47::RpcMessage& m, const void* p) {
    m.WriteValue(static_cast<uint8_t>(p != nullptr));
}

class RemoteProxy final : public Proxy<ITestRemote> {
  public:
    using Proxy::Proxy;

    STDMETHODIMP Add(LONG a, LONG b, LONG* sum) override {
        k47::RpcMessage request, reply;
        request.WriteValue(a);
        request.WriteValue(b);
        WritePresence(request, sum);
        HRESULT hr = Send(3, request, &reply);
        if (SUCCEEDED(hr) && sum != nullptr && !reply.ReadValue(sum))
            return RPC_E_INVALID_DATA;
        return hr;
    }
    STDMETHODIMP Digest(ULONG count, const BYTE* data, ULONG* sum) override {
        if (count > 0 && data == nullptr)
            return E_POINTER;
        k47::RpcMessage request, reply;
        request.WriteValue(count);
        request.Write(data, count);
        WritePresence(request, sum);
        HRESULT hr = Send(4, request, &reply);
        if (SUCCEEDED(hr) && sum != nullptr && !reply.ReadValue(sum))
            return RPC_E_INVALID_DATA;
        return hr;
    }
    STDMETHODIMP Fill(ULONG count, BYTE seed, BYTE* data) override {
        if (count > 0 && data == nullptr)
            return E_POINTER;
        k47::RpcMessage request, reply;
        request.WriteValue(count);
        request.WriteValue(seed);
        HRESULT hr = Send(5, request, &reply);
        if (SUCCEEDED(hr) && !reply.Read(data, count))
            return RPC_E_INVALID_DATA;
        return hr;
    }
    STDMETHODIMP Child(LONG value, ITestRemote** child) override {
        return Fetch(6, value, __uuidof(ITestRemote), reinterpret_cast<void**>(child));
    }
    STDMETHODIMP Self(IUnknown** self) override {
        return Fetch(7, 0, IID_IUnknown, reinterpret_cast<void**>(self));
    }
    STDMETHODIMP Value(LONG* value) override { return OutLong(8, value); }
    STDMETHODIMP Wait() override {
        k47::RpcMessage request, reply;
        return Send(9, request, &reply);
    }
    STDMETHODIMP ProcessId(ULONG* pid) override {
        return OutLong(10, reinterpret_cast<LONG*>(pid));
    }

  private:
    HRESULT Fetch(ULONG method, LONG value, REFIID iid, void** out) {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        k47::RpcMessage request, reply;
        request.WriteValue(value);
        HRESULT hr = Send(method, request, &reply);
        if (FAILED(hr))
            return hr;
        HRESULT got = channel()->UnmarshalInterface(&reply, iid, out);
        return FAILED(got) ? got : hr;
    }
    HRESULT OutLong(ULONG method, LONG* out) {
        k47::RpcMessage request, reply;
        WritePresence(request, out);
        HRESULT hr = Send(method, request, &reply);
        if (SUCCEEDED(hr) && out != nullptr && !reply.ReadValue(out))
            return RPC_E_INVALID_DATA;
        return hr;
    }
};

// Reads the presence byte of an [out] pointer.
bool Present(k47::RpcMessage& m, bool* present) {
    uint8_t flag = 0;
    if (!m.ReadValue(&flag) || flag > 1)
        return false;
    *present = flag == 1;
    return true;
}

class RemoteStub final : public IK47RpcStub {
  public:
    explicit RemoteStub(ComPtr<ITestRemote> object) : object_(std::move(object)) { ++g_objects; }
    ~RemoteStub() { --g_objects; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IK47RpcStub) {
            *ppv = static_cast<IK47RpcStub*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    STDMETHODIMP Invoke(ULONG method, k47::RpcMessage* in, k47::RpcMessage* out,
                        IK47RpcChannel* channel, HRESULT* result) override {
        bool present = false;
        switch (method) {
            case 3: {
                LONG a = 0, b = 0, sum = 0;
                if (!in->ReadValue(&a) || !in->ReadValue(&b) || !Present(*in, &present))
                    return RPC_E_INVALID_DATA;
                *result = object_->Add(a, b, present ? &sum : nullptr);
                out->WriteValue(sum);
                return S_OK;
            }
            case 4: {
                ULONG count = 0, sum = 0;
                if (!in->ReadValue(&count) || in->remaining() < count)
                    return RPC_E_INVALID_DATA;
                std::vector<BYTE> data(count);
                if (!in->Read(data.data(), count) || !Present(*in, &present))
                    return RPC_E_INVALID_DATA;
                *result = object_->Digest(count, data.data(), present ? &sum : nullptr);
                out->WriteValue(sum);
                return S_OK;
            }
            case 5: {
                ULONG count = 0;
                BYTE seed = 0;
                if (!in->ReadValue(&count) || !in->ReadValue(&seed) || count > (64u << 20))
                    return RPC_E_INVALID_DATA;
                std::vector<BYTE> data(count);
                *result = object_->Fill(count, seed, data.data());
                out->Write(data.data(), count);
                return S_OK;
            }
            case 6:
            case 7: {
                LONG value = 0;
                if (!in->ReadValue(&value))
                    return RPC_E_INVALID_DATA;
                ComPtr<IUnknown> got;
                IID iid = method == 6 ? __uuidof(ITestRemote) : IID_IUnknown;
                *result =
                    method == 6
                        ? object_->Child(value, reinterpret_cast<ITestRemote**>(got.GetAddressOf()))
                        : object_->Self(got.GetAddressOf());
                if (SUCCEEDED(*result)) {
                    HRESULT hr = channel->MarshalInterface(out, iid, got.Get());
                    if (FAILED(hr))
                        *result = hr;
                }
                return S_OK;
            }
            case 8:
            case 10: {
                LONG value = 0;
                if (!Present(*in, &present))
                    return RPC_E_INVALID_DATA;
                LONG* p = present ? &value : nullptr;
                *result = method == 8 ? object_->Value(p)
                                      : object_->ProcessId(reinterpret_cast<ULONG*>(p));
                out->WriteValue(value);
                return S_OK;
            }
            case 9:
                *result = object_->Wait();
                return S_OK;
            default:
                return E_NOTIMPL;
        }
    }

  private:
    std::atomic<ULONG> refs_{1};
    ComPtr<ITestRemote> object_;
};

template <class P>
HRESULT MakeProxy(IUnknown* outer, IK47RpcChannel* channel, IUnknown** inner, void** ppv) {
    auto* proxy = new (std::nothrow) P(outer, channel);
    if (proxy == nullptr)
        return E_OUTOFMEMORY;
    *inner = proxy->inner();
    *ppv = static_cast<typename P::Interface*>(proxy);
    return S_OK;
}

// Static: AddRef and Release do not count.
class Factory final : public IK47PSFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
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
        *inner = nullptr;
        *ppv = nullptr;
        if (riid == __uuidof(ITestRemote))
            return MakeProxy<RemoteProxy>(outer, channel, inner, ppv);
        return E_NOINTERFACE;
    }
    STDMETHODIMP CreateStub(REFIID riid, IUnknown* server, IK47RpcStub** stub) override {
        *stub = nullptr;
        if (riid == __uuidof(ITestRemote)) {
            ComPtr<ITestRemote> object;
            HRESULT hr =
                server->QueryInterface(riid, reinterpret_cast<void**>(object.GetAddressOf()));
            if (SUCCEEDED(hr))
                *stub = new (std::nothrow) RemoteStub(std::move(object));
            return FAILED(hr) ? hr : (*stub != nullptr ? S_OK : E_OUTOFMEMORY);
        }
        return E_NOINTERFACE;
    }
};

Factory g_factory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID riid,
                                                                            void** ppv) {
    if (clsid != CLSID_TestRemotePS) {
        *ppv = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(riid, ppv);
}

// Proxies and stubs of this module alive now (for leak checks).
extern "C" __attribute__((visibility("default"))) int RemotePS_Objects() {
    return g_objects.load();
}
