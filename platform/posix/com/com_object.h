// The IUnknown of the platform's own single-interface objects: QueryInterface answers IUnknown
// and Interface, the count is atomic and the object deletes itself when it reaches zero. It is
// created with one reference, which its creator owns.
#pragma once

#include <unknwn.h>

#include <atomic>

namespace k47::com {

template <class Interface>
class RefCountedObject : public Interface {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == __uuidof(Interface)) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Relaxed increments; the decrement to zero must see every other thread's use (acq_rel).
    STDMETHODIMP_(ULONG) AddRef() override {
        return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

  protected:
    RefCountedObject() = default;
    virtual ~RefCountedObject() = default;

  private:
    std::atomic<ULONG> refs_{1};
};

}  // namespace k47::com
