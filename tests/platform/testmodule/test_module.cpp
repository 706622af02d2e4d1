// An in-process server for the COM runtime tests: exports DllMain, DllGetClassObject,
// DllCanUnloadNow and TestModule_Counters, and serves CLSID_TestThing (no aggregation).
#include <atomic>
#include <cstring>
#include <new>

#include "test_thing.h"
#include "windows.h"

namespace {

std::atomic<int> g_attach{0};
std::atomic<int> g_detach{0};
std::atomic<int> g_live{0};
std::atomic<int> g_locks{0};
void* g_instance = nullptr;
char g_path[512];

class TestThing final : public ITestThing {
  public:
    static HRESULT Create(REFIID riid, void** ppv) {
        auto* thing = new (std::nothrow) TestThing;
        if (thing == nullptr)
            return E_OUTOFMEMORY;
        HRESULT hr = thing->QueryInterface(riid, ppv);
        thing->Release();  // drops the creation reference
        return hr;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == __uuidof(ITestThing)) {
            *ppv = static_cast<ITestThing*>(this);
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

    STDMETHODIMP SetValue(LONG value) override {
        value_ = value;
        return S_OK;
    }
    STDMETHODIMP GetValue(LONG* value) override {
        if (value == nullptr)
            return E_POINTER;
        *value = value_;
        return S_OK;
    }

  private:
    TestThing() { ++g_live; }
    ~TestThing() { --g_live; }

    std::atomic<ULONG> refs_{1};
    LONG value_ = 0;
};

class Factory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A static object: its count does not matter.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        return TestThing::Create(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        g_locks += lock ? 1 : -1;
        return S_OK;
    }
};

Factory g_factory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ++g_attach;
        g_instance = instance;
        g_path[0] = '\0';
        GetModuleFileNameA(instance, g_path, sizeof(g_path));
    } else if (reason == DLL_PROCESS_DETACH) {
        ++g_detach;
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_TestThing)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return (g_live == 0 && g_locks == 0) ? S_OK : S_FALSE;
}

extern "C" void TestModule_Counters(TestModuleCounters* out) {
    out->process_attach = g_attach;
    out->process_detach = g_detach;
    out->live_objects = g_live;
    out->server_locks = g_locks;
    out->attach_instance = g_instance;
    std::memcpy(out->attach_path, g_path, sizeof(g_path));
}
