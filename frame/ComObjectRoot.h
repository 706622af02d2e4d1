// The multithreaded component root every component class derives from, and the two forms in
// which a class is instantiated:
//   CK47ComObject<T>    — created alone: owns the reference count and answers IUnknown itself.
//   CK47ComAggObject<T> — created aggregated: a separate non-delegating IUnknown owns the count;
//                         the contained T delegates QueryInterface/AddRef/Release to the outer
//                         object.
// T declares its interfaces in a table returned by a static member function
//     static std::span<const K47InterfaceEntry> GetInterfaceTable();
// (a function, so that the table is built where T is complete) made of K47Entry<T, IFoo>()
// entries, plus K47ForwardEntry for interfaces answered by an inner object, and gets
// QueryInterface from it. The first entry is the object's identity (its IUnknown).
//
// Creation runs, in order: construction (an exception becomes E_OUTOFMEMORY), initialisation of
// the per-object critical section (its failure is the result, from the last error),
// FinalConstruct, QueryInterface for the requested interface; a failure destroys the object.
// FinalRelease runs before destruction in every case. Every object holds one module lock for its
// lifetime, so DllCanUnloadNow refuses while any object lives.
//
// Threading: the reference count is atomic; the critical section (Lock/Unlock) is the object's to
// use for its own state.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstddef>
#include <span>
#include <type_traits>

void K47ModuleLock() noexcept;
void K47ModuleUnlock() noexcept;

// One entry of a class's interface table. A plain entry casts the object to the interface; a
// forwarding entry hands the query to another object (an aggregated inner object); a forwarding
// entry without IID (blind aggregation) receives every IID not matched before it.
struct K47InterfaceEntry {
    const IID* iid;
    IUnknown* (*cast)(void* self);
    HRESULT (*forward)(void* self, REFIID riid, void** ppv);
};

template <class T, class I>
constexpr K47InterfaceEntry K47Entry() {
    static_assert(std::is_base_of_v<I, T>, "the class does not implement the interface");
    return {&K47UuidOf<I>::value,
            [](void* self) -> IUnknown* { return static_cast<I*>(static_cast<T*>(self)); },
            nullptr};
}

constexpr K47InterfaceEntry K47ForwardEntry(const IID* iid,
                                            HRESULT (*forward)(void* self, REFIID riid,
                                                               void** ppv)) {
    return {iid, nullptr, forward};
}

// Compile-time check of a table: not empty, and the first entry (the identity) is a plain one.
// Use it in a static_assert next to each table.
// (A plain entry, which always has a cast and an IID, is told by its empty forward member: under
// -fsanitize=undefined GCC cannot compare the cast or IID addresses with null in a constant
// expression.)
template <size_t N>
constexpr bool K47ValidTable(const K47InterfaceEntry (&table)[N]) {
    return N > 0 && table[0].forward == nullptr;
}

template <class T>
HRESULT K47QueryTable(T* self, REFIID riid, void** ppv) noexcept;

class CK47ComObjectRoot {
  public:
    // The object's controlling IUnknown: the outer object when aggregated, else its own identity.
    IUnknown* GetControllingUnknown() const noexcept { return m_pControllingUnknown; }

    // Hooks a class may hide with its own: run after construction and before destruction.
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

    void Lock() noexcept { EnterCriticalSection(&m_criticalSection); }
    void Unlock() noexcept { LeaveCriticalSection(&m_criticalSection); }

    // Used by the creation forms only.
    HRESULT InitializeObjectCriticalSection() noexcept;
    void SetControllingUnknown(IUnknown* unknown) noexcept { m_pControllingUnknown = unknown; }

    static HRESULT InternalQueryInterface(void* self, std::span<const K47InterfaceEntry> table,
                                          REFIID riid, void** ppv) noexcept;

  protected:
    CK47ComObjectRoot() noexcept { K47ModuleLock(); }
    ~CK47ComObjectRoot();
    CK47ComObjectRoot(const CK47ComObjectRoot&) = delete;
    CK47ComObjectRoot& operator=(const CK47ComObjectRoot&) = delete;

    // Increments need no ordering. The decrement that may reach zero must see every write other
    // threads made to the object before they released it (acquire), and its own writes must be
    // visible to whoever destroys the object (release).
    ULONG InternalAddRef() noexcept { return m_dwRef.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG InternalRelease() noexcept { return m_dwRef.fetch_sub(1, std::memory_order_acq_rel) - 1; }

    std::atomic<ULONG> m_dwRef{0};

  private:
    template <class>
    friend class CK47ComObject;
    template <class>
    friend class CK47ComAggObject;

    IUnknown* m_pControllingUnknown = nullptr;
    CRITICAL_SECTION m_criticalSection;
    bool m_criticalSectionReady = false;
};

// A count large enough that calls made during destruction never bring it to zero again.
inline constexpr ULONG kK47DestructionCount = 0x40000000;

template <class T>
class CK47ComObject final : public T {
  public:
    static HRESULT CreateInstance(REFIID riid, void** ppv) noexcept {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        CK47ComObject* object = nullptr;
        HRESULT hr = Construct(&object);
        if (SUCCEEDED(hr))
            hr = object->QueryInterface(riid, ppv);
        if (FAILED(hr) && object != nullptr)
            Destroy(object);
        return hr;
    }

    // Creates the object with one reference held by the caller.
    static HRESULT CreateObject(CK47ComObject** out) noexcept {
        *out = nullptr;
        CK47ComObject* object = nullptr;
        HRESULT hr = Construct(&object);
        if (FAILED(hr)) {
            if (object != nullptr)
                Destroy(object);
            return hr;
        }
        object->InternalAddRef();
        *out = object;
        return S_OK;
    }

    IUnknown* IdentityUnknown() noexcept {
        return T::GetInterfaceTable()[0].cast(static_cast<T*>(this));
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return this->InternalAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG count = this->InternalRelease();
        if (count == 0) {
            this->m_dwRef.store(kK47DestructionCount, std::memory_order_relaxed);
            delete this;
        }
        return count;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return K47QueryTable<T>(this, riid, ppv);
    }

  private:
    CK47ComObject() = default;
    ~CK47ComObject() { T::FinalRelease(); }

    // Construction, critical section, FinalConstruct; the count is 0 afterwards. On failure the
    // object (if one was made) is left for the caller to destroy.
    static HRESULT Construct(CK47ComObject** out) noexcept {
        *out = nullptr;
        try {
            *out = new CK47ComObject();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        CK47ComObject* object = *out;
        object->SetControllingUnknown(object->IdentityUnknown());
        object->m_dwRef.store(1,
                              std::memory_order_relaxed);  // keeps FinalConstruct's own calls safe
        HRESULT hr = object->InitializeObjectCriticalSection();
        if (SUCCEEDED(hr))
            hr = object->FinalConstruct();
        object->m_dwRef.store(0, std::memory_order_relaxed);
        return hr;
    }
    static void Destroy(CK47ComObject* object) noexcept {
        object->m_dwRef.store(kK47DestructionCount, std::memory_order_relaxed);
        delete object;
    }
};

// The contained part of an aggregated object: every IUnknown call goes to the outer object.
template <class T>
class CK47ComContainedObject final : public T {
  public:
    ULONG STDMETHODCALLTYPE AddRef() override { return this->GetControllingUnknown()->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return this->GetControllingUnknown()->Release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return this->GetControllingUnknown()->QueryInterface(riid, ppv);
    }

  private:
    template <class>
    friend class CK47ComAggObject;
    CK47ComContainedObject() = default;
    ~CK47ComContainedObject() = default;
};

// The non-delegating IUnknown of an aggregated object. It owns the reference count and answers
// IUnknown with itself; every other IID is looked up in the contained object's table.
template <class T>
class CK47ComAggObject final : public IUnknown {
  public:
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
        CK47ComAggObject* object = nullptr;
        try {
            object = new CK47ComAggObject();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        object->m_contained.SetControllingUnknown(outer);
        object->m_dwRef.store(1, std::memory_order_relaxed);
        HRESULT hr = object->m_contained.InitializeObjectCriticalSection();
        if (SUCCEEDED(hr))
            hr = object->m_contained.FinalConstruct();
        object->m_dwRef.store(0, std::memory_order_relaxed);
        if (SUCCEEDED(hr))
            hr = object->QueryInterface(riid, ppv);
        if (FAILED(hr)) {
            object->m_dwRef.store(kK47DestructionCount, std::memory_order_relaxed);
            delete object;
        }
        return hr;
    }

    ULONG STDMETHODCALLTYPE AddRef() override {
        return m_dwRef.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG count = m_dwRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0) {
            m_dwRef.store(kK47DestructionCount, std::memory_order_relaxed);
            delete this;
        }
        return count;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return K47QueryTable<T>(&m_contained, riid, ppv);
    }

    // The contained object, for tests and for the rare owner that must reach it directly.
    T* Contained() noexcept { return &m_contained; }

  private:
    CK47ComAggObject() = default;
    ~CK47ComAggObject() { m_contained.FinalRelease(); }

    std::atomic<ULONG> m_dwRef{0};
    CK47ComContainedObject<T> m_contained;
};

template <class T>
HRESULT K47QueryTable(T* self, REFIID riid, void** ppv) noexcept {
    return CK47ComObjectRoot::InternalQueryInterface(static_cast<void*>(self),
                                                     T::GetInterfaceTable(), riid, ppv);
}

// Creates a plain instance of T for its owner's own use: `identity` receives the reference,
// `object` the concrete object (valid while the reference is held).
template <class T>
HRESULT K47CreateInstance(IUnknown** identity, T** object) noexcept {
    if (identity == nullptr || object == nullptr)
        return E_POINTER;
    *identity = nullptr;
    *object = nullptr;
    CK47ComObject<T>* created = nullptr;
    HRESULT hr = CK47ComObject<T>::CreateObject(&created);
    if (SUCCEEDED(hr)) {
        *identity = created->IdentityUnknown();  // takes over CreateObject's reference
        *object = created;
    }
    return hr;
}

// The creation rules of a class object: E_POINTER for a null result pointer; an outer object may
// ask only for IUnknown (CLASS_E_NOAGGREGATION otherwise); then the aggregated or the plain form.
template <class T>
HRESULT K47CreateObject(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) {
        if (!IsEqualIID(riid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        return CK47ComAggObject<T>::CreateInstance(outer, riid, ppv);
    }
    return CK47ComObject<T>::CreateInstance(riid, ppv);
}
