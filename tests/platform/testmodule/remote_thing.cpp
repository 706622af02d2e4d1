// RemoteThing, the server-side test object of the transport tests (see remote_thing.h).
#include "remote_thing.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <new>

#include "wrl/client.h"

namespace {

std::mutex g_mu;
std::condition_variable g_changed;
int g_alive = 0;    // guarded by g_mu
int g_created = 0;  // guarded by g_mu
std::atomic<bool> g_exit_in_wait{false};
int g_waiters = 0;   // guarded by g_mu
bool g_open = true;  // guarded by g_mu

void CountAlive(int delta) {
    std::lock_guard<std::mutex> guard(g_mu);
    g_alive += delta;
    if (delta > 0)
        g_created += delta;
    g_changed.notify_all();
}

class RemoteThing final : public ITestRemote {
  public:
    static HRESULT Create(LONG value, bool with_marshaler, REFIID riid, void** ppv) {
        auto* thing = new (std::nothrow) RemoteThing(value);
        if (thing == nullptr)
            return E_OUTOFMEMORY;
        HRESULT hr = S_OK;
        if (with_marshaler) {
            hr = CoCreateFreeThreadedMarshaler(static_cast<ITestRemote*>(thing),
                                               thing->marshaler_.GetAddressOf());
        }
        if (SUCCEEDED(hr))
            hr = thing->QueryInterface(riid, ppv);
        thing->Release();
        return hr;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == __uuidof(ITestRemote)) {
            *ppv = static_cast<ITestRemote*>(this);
        } else if (riid == IID_IMarshal && marshaler_) {
            return marshaler_->QueryInterface(riid, ppv);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    STDMETHODIMP Add(LONG a, LONG b, LONG* sum) override {
        if (sum == nullptr)
            return E_POINTER;
        int64_t total = static_cast<int64_t>(a) + b;
        if (total > std::numeric_limits<LONG>::max() || total < std::numeric_limits<LONG>::min())
            return E_INVALIDARG;
        *sum = static_cast<LONG>(total);
        return S_OK;
    }
    STDMETHODIMP Digest(ULONG count, const BYTE* data, ULONG* sum) override {
        if (sum == nullptr || (count > 0 && data == nullptr))
            return E_POINTER;
        ULONG total = 0;
        for (ULONG i = 0; i < count; ++i)
            total += data[i];
        *sum = total;
        return S_OK;
    }
    STDMETHODIMP Fill(ULONG count, BYTE seed, BYTE* data) override {
        if (count > 0 && data == nullptr)
            return E_POINTER;
        for (ULONG i = 0; i < count; ++i)
            data[i] = static_cast<BYTE>(seed + i);
        return S_OK;
    }
    STDMETHODIMP Child(LONG value, ITestRemote** child) override {
        if (child == nullptr)
            return E_POINTER;
        return Create(value, true, __uuidof(ITestRemote), reinterpret_cast<void**>(child));
    }
    STDMETHODIMP Self(IUnknown** self) override {
        if (self == nullptr)
            return E_POINTER;
        return QueryInterface(IID_IUnknown, reinterpret_cast<void**>(self));
    }
    STDMETHODIMP Value(LONG* value) override {
        if (value == nullptr)
            return E_POINTER;
        *value = value_;
        return S_OK;
    }
    STDMETHODIMP Wait() override {
        if (g_exit_in_wait)
            _exit(0);
        std::unique_lock<std::mutex> lock(g_mu);
        ++g_waiters;
        g_changed.notify_all();
        g_changed.wait(lock, [] { return g_open; });
        --g_waiters;
        g_changed.notify_all();
        return S_OK;
    }
    STDMETHODIMP ProcessId(ULONG* pid) override {
        if (pid == nullptr)
            return E_POINTER;
        *pid = static_cast<ULONG>(getpid());
        return S_OK;
    }

  private:
    explicit RemoteThing(LONG value) : value_(value) { CountAlive(1); }
    ~RemoteThing() { CountAlive(-1); }

    std::atomic<ULONG> refs_{1};
    const LONG value_;
    Microsoft::WRL::ComPtr<IUnknown> marshaler_;
};

class Factory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
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
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        return RemoteThing::Create(0, false, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  private:
    std::atomic<ULONG> refs_{1};
};

}  // namespace

namespace k47::test {

IClassFactory* NewRemoteThingFactory() {
    return new Factory;
}

int RemoteThingsAlive() {
    std::lock_guard<std::mutex> guard(g_mu);
    return g_alive;
}

int RemoteThingsCreated() {
    std::lock_guard<std::mutex> guard(g_mu);
    return g_created;
}

void SetExitInWait(bool exit) {
    g_exit_in_wait = exit;
}

bool WaitForRemoteThingsAlive(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(g_mu);
    return g_changed.wait_for(lock, timeout, [count] { return g_alive == count; });
}

void SetRemoteGate(bool open) {
    std::lock_guard<std::mutex> guard(g_mu);
    g_open = open;
    g_changed.notify_all();
}

bool WaitForRemoteWaiters(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(g_mu);
    return g_changed.wait_for(lock, timeout, [count] { return g_waiters == count; });
}

}  // namespace k47::test
