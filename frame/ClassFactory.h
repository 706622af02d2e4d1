// The one generic class object: it creates instances of a class through the class's creation
// function and changes the module's lock count on LockServer. One instance per class is created on
// first request and kept for the life of the module; while a caller holds a reference to it, it
// holds a module lock (so that DllCanUnloadNow refuses), the cache's own reference does not.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

using K47CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

class CK47ClassFactory final : public IClassFactory {
  public:
    explicit CK47ClassFactory(K47CreateFunction create) noexcept : m_create(create) {}
    CK47ClassFactory(const CK47ClassFactory&) = delete;
    CK47ClassFactory& operator=(const CK47ClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppvObject) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

  private:
    K47CreateFunction m_create;
    std::atomic<ULONG> m_dwRef{1};  // the cache's reference
};
