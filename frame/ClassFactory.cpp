// The generic class object.
#include "frame/ClassFactory.h"

#include "frame/ComObjectRoot.h"

HRESULT STDMETHODCALLTYPE CK47ClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CK47ClassFactory::AddRef() {
    ULONG count = m_dwRef.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count == 2)
        K47ModuleLock();  // the first outside reference
    return count;
}

ULONG STDMETHODCALLTYPE CK47ClassFactory::Release() {
    ULONG count = m_dwRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 1)
        K47ModuleUnlock();  // back to the cache's reference alone
    return count;
}

HRESULT STDMETHODCALLTYPE CK47ClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                           void** ppvObject) {
    if (ppvObject == nullptr)
        return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr && !IsEqualIID(riid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    return m_create(pUnkOuter, riid, ppvObject);
}

HRESULT STDMETHODCALLTYPE CK47ClassFactory::LockServer(BOOL fLock) {
    if (fLock) {
        K47ModuleLock();
    } else {
        K47ModuleUnlock();
    }
    return S_OK;
}
