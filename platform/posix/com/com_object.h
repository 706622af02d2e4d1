// The IUnknown of the platform's own objects: QueryInterface answers IUnknown (as the first
// interface) and each listed interface, the count is atomic and the object is destroyed when it
// reaches zero. It is created with one reference, which its creator owns.
//
// The non-delegating IUnknown of an aggregatable object is a member of that object: it overrides
// QueryInterface with the object's answers and FinalRelease to delete the object it belongs to.
#pragma once

#include <unknwn.h>

#include <atomic>

namespace k47::com {

template <class Interface, class... More>
class RefCountedObject : public Interface, public More... {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == __uuidof(Interface)) {
            *ppv = static_cast<Interface*>(this);
        } else if constexpr (sizeof...(More) > 0) {
            static_cast<void>((
                (riid == __uuidof(More) ? (*ppv = static_cast<More*>(this), true) : false) || ...));
        }
        if (*ppv == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    // Relaxed increments; the decrement to zero must see every other thread's use (acq_rel).
    STDMETHODIMP_(ULONG) AddRef() override {
        return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            // Back to 1 first: a destructor that takes and drops a reference to the object must
            // not destroy it a second time.
            refs_.store(1, std::memory_order_relaxed);
            FinalRelease();
        }
        return left;
    }

  protected:
    RefCountedObject() = default;
    virtual ~RefCountedObject() = default;

    virtual void FinalRelease() { delete this; }

  private:
    std::atomic<ULONG> refs_{1};
};

}  // namespace k47::com
