// The component root's table-driven QueryInterface and its critical section.
#include "frame/ComObjectRoot.h"

CK47ComObjectRoot::~CK47ComObjectRoot() {
    if (m_criticalSectionReady)
        DeleteCriticalSection(&m_criticalSection);
    K47ModuleUnlock();
}

HRESULT CK47ComObjectRoot::InitializeObjectCriticalSection() noexcept {
    if (!InitializeCriticalSectionEx(&m_criticalSection, 0, 0)) {
        DWORD error = GetLastError();
        return error == 0 ? E_OUTOFMEMORY : HRESULT_FROM_WIN32(error);
    }
    m_criticalSectionReady = true;
    return S_OK;
}

HRESULT CK47ComObjectRoot::InternalQueryInterface(void* self,
                                                  std::span<const K47InterfaceEntry> table,
                                                  REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    // IUnknown is always the first entry's pointer, so that every interface of one object yields
    // the same IUnknown (the identity rule).
    if (IsEqualIID(riid, IID_IUnknown)) {
        IUnknown* unknown = table[0].cast(self);
        unknown->AddRef();
        *ppv = unknown;
        return S_OK;
    }
    for (size_t i = 0; i < table.size(); ++i) {
        const K47InterfaceEntry& entry = table[i];
        if (entry.cast != nullptr) {
            if (IsEqualIID(*entry.iid, riid)) {
                IUnknown* unknown = entry.cast(self);
                unknown->AddRef();
                *ppv = unknown;
                return S_OK;
            }
        } else if (entry.iid == nullptr || IsEqualIID(*entry.iid, riid)) {
            return entry.forward(self, riid, ppv);
        }
    }
    return E_NOINTERFACE;
}
