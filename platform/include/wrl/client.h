// Microsoft::WRL::ComPtr: the counted interface pointer, with the Windows Runtime Library's names.
// Ownership verbs are explicit: Attach adopts a reference, Detach gives it up, CopyTo adds one for
// an out-parameter, As queries another interface. There is no operator&: out-parameters use
// ReleaseAndGetAddressOf() (which drops the old reference first) or GetAddressOf() on an empty
// pointer.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "../unknwn.h"

namespace Microsoft {
namespace WRL {

template <typename T>
class ComPtr {
  public:
    typedef T InterfaceType;

    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ComPtr(U* other) noexcept : ptr_(other) {
        InternalAddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ptr_(other.ptr_) { InternalAddRef(); }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ComPtr(const ComPtr<U>& other) noexcept : ptr_(other.Get()) {
        InternalAddRef();
    }
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ComPtr(ComPtr<U>&& other) noexcept : ptr_(other.Detach()) {}
    ~ComPtr() { InternalRelease(); }

    ComPtr& operator=(std::nullptr_t) noexcept {
        InternalRelease();
        return *this;
    }
    ComPtr& operator=(T* other) noexcept {
        if (ptr_ != other)
            ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(const ComPtr& other) noexcept {
        if (ptr_ != other.ptr_)
            ComPtr(other).Swap(*this);
        return *this;
    }
    template <class U>
    ComPtr& operator=(const ComPtr<U>& other) noexcept {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }

    void Swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    T* Get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }

    // Out-parameter forms. GetAddressOf() does not release: use it only on an empty pointer.
    T* const* GetAddressOf() const noexcept { return &ptr_; }
    T** GetAddressOf() noexcept { return &ptr_; }
    T** ReleaseAndGetAddressOf() noexcept {
        InternalRelease();
        return &ptr_;
    }

    // Adopts a pointer whose reference the caller already owns.
    void Attach(T* other) noexcept {
        if (ptr_ != nullptr) {
            auto* old = ptr_;
            ptr_ = nullptr;
            old->Release();
        }
        ptr_ = other;
    }
    // Gives up the reference without releasing it.
    [[nodiscard]] T* Detach() noexcept { return std::exchange(ptr_, nullptr); }

    ULONG Reset() noexcept { return InternalRelease(); }

    HRESULT CopyTo(T** out) const noexcept {
        InternalAddRef();
        *out = ptr_;
        return S_OK;
    }
    HRESULT CopyTo(REFIID riid, void** out) const noexcept {
        if (ptr_ == nullptr) {
            *out = nullptr;
            return E_POINTER;
        }
        return ptr_->QueryInterface(riid, out);
    }
    template <typename U>
    HRESULT CopyTo(U** out) const noexcept {
        return CopyTo(K47UuidOfType<U>(), reinterpret_cast<void**>(out));
    }

    // QueryInterface for U. Querying a base interface of T (other than IUnknown, which is the
    // identity query) is a mistake: the implicit conversion gives it without a call.
    template <typename U>
    HRESULT As(ComPtr<U>* out) const noexcept {
        static_assert(
            std::is_same_v<U, IUnknown> || std::is_same_v<U, T> || !std::is_base_of_v<U, T>,
            "QueryInterface for a base interface: convert instead");
        if (ptr_ == nullptr) {
            out->Reset();
            return E_POINTER;
        }
        return ptr_->QueryInterface(K47UuidOfType<U>(),
                                    reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
    }
    HRESULT AsIID(REFIID riid, ComPtr<IUnknown>* out) const noexcept {
        if (ptr_ == nullptr) {
            out->Reset();
            return E_POINTER;
        }
        return ptr_->QueryInterface(riid, reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
    }

  private:
    void InternalAddRef() const noexcept {
        if (ptr_ != nullptr)
            ptr_->AddRef();
    }
    ULONG InternalRelease() noexcept {
        ULONG ref = 0;
        T* temp = ptr_;
        if (temp != nullptr) {
            ptr_ = nullptr;
            ref = temp->Release();
        }
        return ref;
    }

    T* ptr_ = nullptr;
};

template <class T, class U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) noexcept {
    return a.Get() == b.Get();
}
template <class T>
bool operator==(const ComPtr<T>& a, std::nullptr_t) noexcept {
    return a.Get() == nullptr;
}

}  // namespace WRL
}  // namespace Microsoft
