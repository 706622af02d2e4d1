// Proxies and stubs made from a table of an interface's methods, so that no method is marshalled
// by hand. A table lists the methods in slot order:
//     using CameraTable = k47ps::Table<IK47PTZCamera, k47ps::Method<&IK47PTZCamera::MoveRelative>,
//                                      ..., k47ps::Placeholder, ...>;
// Method<&I::M> deduces the parameter types from the method pointer and marshals each by its
// kind (ProxyStubArgs.h); a Placeholder slot fails with E_NOTIMPL on the proxy and is never sent.
//
// The proxy: a ProxyInner object owns the count (its non-delegating IUnknown is what the
// platform's proxy manager holds) and carries a Face, the interface pointer handed out. The Face
// is the interface in the COM binary layout: a pointer to a table of functions, one per slot,
// each taking the Face as its first argument (the layout a C client of the interface sees; see
// VtableImage for what precedes the slots). Slots
// 0 to 2 go to the outer object (the proxy manager, the object's identity here); every other slot
// is a function generated for the method: it writes the [in] arguments, calls the channel with
// its slot number and reads the [out] arguments. The stub reads the [in] arguments into locals,
// calls the real object through the method pointer, and writes the [out] arguments.
//
// Threading: proxies may be called from any number of threads at once (they keep no call state);
// a stub is called by one thread at a time. Lifetime: a proxy lives until its inner IUnknown is
// released (it holds no reference on the outer object); a stub holds the object it calls.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <k47/rpc.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <tuple>
#include <typeinfo>
#include <utility>

#include "frame/ProxyStubArgs.h"

namespace k47ps {

// The count of live proxies and stubs of this module (DllCanUnloadNow reads it).
void ObjectCreated() noexcept;
void ObjectDestroyed() noexcept;

using Slot = void (*)();

class ProxyInner;

// The interface pointer of a proxy: what callers see as I*.
struct Face {
    const Slot* vtbl;
    ProxyInner* owner;
};

using Invoker = HRESULT (*)(void* target, k47::RpcMessage* in, k47::RpcMessage* out,
                            IK47RpcChannel* channel, HRESULT* result);

// What the factory needs of one interface's table.
struct InterfaceInfo {
    const IID* iid;
    ULONG slots;  // IUnknown's three included
    const Slot* (*vtbl)();
    HRESULT(*invoke)
    (ULONG method, void* target, k47::RpcMessage* in, k47::RpcMessage* out, IK47RpcChannel* channel,
     HRESULT* result);
    bool (*layout_matches)();  // every method sits in the slot the table gives it
};

class ProxyInner final : public IUnknown {
  public:
    ProxyInner(IUnknown* outer, IK47RpcChannel* channel, const InterfaceInfo& info)
        : face_{info.vtbl(), this}, outer_(outer), channel_(channel), iid_(*info.iid) {
        channel_->AddRef();
        ObjectCreated();
    }

    void* face() noexcept { return &face_; }
    IUnknown* outer() const noexcept { return outer_; }
    IK47RpcChannel* channel() const noexcept { return channel_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (riid == iid_) {
            *ppv = &face_;
            outer_->AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Relaxed increments; the decrement that reaches zero must see the other threads' writes.
    STDMETHODIMP_(ULONG) AddRef() override {
        return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

  private:
    ~ProxyInner() {
        channel_->Release();
        ObjectDestroyed();
    }

    Face face_;
    IUnknown* outer_;  // not counted: it owns us
    IK47RpcChannel* channel_;
    IID iid_;
    std::atomic<ULONG> refs_{1};
};

// Slots 0 to 2 of every proxy.
inline HRESULT STDMETHODCALLTYPE FaceQueryInterface(Face* self, REFIID riid, void** ppv) {
    return self->owner->outer()->QueryInterface(riid, ppv);
}
inline ULONG STDMETHODCALLTYPE FaceAddRef(Face* self) {
    return self->owner->outer()->AddRef();
}
inline ULONG STDMETHODCALLTYPE FaceRelease(Face* self) {
    return self->owner->outer()->Release();
}

// The slot a virtual member function occupies, from its pointer's Itanium C++ ABI
// representation (1 + the byte offset in the table of functions); ~0u for a non-virtual one.
template <class M>
ULONG VirtualSlot(M method) {
    static_assert(sizeof(M) == 2 * sizeof(uintptr_t));
    uintptr_t raw[2];
    std::memcpy(raw, &method, sizeof(raw));
    if ((raw[0] & 1) == 0)
        return ~0u;
    return static_cast<ULONG>((raw[0] - 1) / sizeof(void*));
}

template <auto M, class = decltype(M)>
struct Method;

template <auto M, class I, class... A>
struct Method<M, HRESULT (STDMETHODCALLTYPE I::*)(A...)> {
    using Interface = I;
    static constexpr bool kCrosses = (Arg<A>::kCrosses && ...);

    template <ULONG kSlot>
    static HRESULT STDMETHODCALLTYPE Proxy(Face* self, A... args) {
        if constexpr (!kCrosses) {
            ((void)args, ...);
            (void)self;
            return E_NOTIMPL;
        } else {
            try {
                if (!(ValueCrosses(args) && ...))
                    return DISP_E_BADVARTYPE;
                (Arg<A>::Clear(args), ...);
                k47::RpcMessage request;
                (Arg<A>::WriteIn(request, args), ...);
                k47::RpcMessage reply;
                HRESULT result = E_FAIL;
                IK47RpcChannel* channel = self->owner->channel();
                HRESULT hr = channel->SendReceive(kSlot, &request, &reply, &result);
                if (FAILED(hr))
                    return hr;
                HRESULT read = S_OK;
                ((read = SUCCEEDED(read) ? Arg<A>::ReadOut(reply, args, channel) : read), ...);
                return FAILED(read) ? read : result;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        }
    }

    template <ULONG kSlot>
    static Slot ProxySlot() {
        return reinterpret_cast<Slot>(&Proxy<kSlot>);
    }

    static HRESULT Invoke(void* target, k47::RpcMessage* in, k47::RpcMessage* out,
                          IK47RpcChannel* channel, HRESULT* result) {
        if constexpr (!kCrosses) {
            (void)target, (void)in, (void)out, (void)channel, (void)result;
            return E_NOTIMPL;
        } else {
            try {
                return InvokeWith(std::index_sequence_for<A...>{}, static_cast<I*>(target), *in,
                                  *out, channel, result);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        }
    }

    static bool SlotMatches(ULONG slot) { return VirtualSlot(M) == slot; }

  private:
    template <size_t... Is>
    static HRESULT InvokeWith(std::index_sequence<Is...>, I* object, k47::RpcMessage& in,
                              k47::RpcMessage& out, IK47RpcChannel* channel, HRESULT* result) {
        std::tuple<typename Arg<A>::Local...> locals;
        if (!(Arg<A>::ReadIn(in, std::get<Is>(locals)) && ...))
            return RPC_E_INVALID_DATA;
        *result = (object->*M)(Arg<A>::Pass(std::get<Is>(locals))...);
        // Every [out] argument is written, so that the reply stays readable; the first failure
        // to write one becomes the call's result.
        HRESULT written = S_OK;
        (
            [&] {
                HRESULT hr = Arg<A>::WriteOut(out, std::get<Is>(locals), channel, *result);
                if (SUCCEEDED(written))
                    written = hr;
            }(),
            ...);
        if (FAILED(written) && SUCCEEDED(*result))
            *result = written;
        (void)channel;
        return S_OK;
    }
};

// A slot the proxy does not offer across processes (a placeholder of the host's interfaces).
struct Placeholder {
    static HRESULT STDMETHODCALLTYPE NotImplemented(Face*) { return E_NOTIMPL; }
    template <ULONG>
    static Slot ProxySlot() {
        return reinterpret_cast<Slot>(&NotImplemented);
    }
    static HRESULT Invoke(void*, k47::RpcMessage*, k47::RpcMessage*, IK47RpcChannel*, HRESULT*) {
        return E_NOTIMPL;
    }
    static bool SlotMatches(ULONG) { return true; }
};

// A table of functions laid out as the Itanium C++ ABI lays out a class's virtual table: the
// offset to the top of the object and its type information just before the slots. Callers use
// only the slots; the prefix keeps the proxy a well-formed object for anything that inspects the
// dynamic type (typeid, dynamic_cast, the sanitizers' checks of virtual calls), which then sees
// ProxyTypeOf<I>, a class derived from the interface.
template <size_t N>
struct VtableImage {
    std::ptrdiff_t offset_to_top;
    const std::type_info* type;
    Slot slots[N];
};

template <class I>
struct ProxyTypeOf : I {
    ProxyTypeOf() = delete;  // names a type only; never made
};

template <class I, class... Entries>
struct Table {
    static constexpr ULONG kSlots = 3 + sizeof...(Entries);

    static const Slot* Vtbl() {
        static const VtableImage<kSlots> image = [] {
            VtableImage<kSlots> made{0, &typeid(ProxyTypeOf<I>), {}};
            const std::array<Slot, kSlots> slots = Make(std::index_sequence_for<Entries...>{});
            std::copy(slots.begin(), slots.end(), made.slots);
            return made;
        }();
        return image.slots;
    }

    static HRESULT Invoke(ULONG method, void* target, k47::RpcMessage* in, k47::RpcMessage* out,
                          IK47RpcChannel* channel, HRESULT* result) {
        static constexpr Invoker kInvokers[] = {&Entries::Invoke...};
        if (method < 3 || method >= kSlots)
            return E_NOTIMPL;
        return kInvokers[method - 3](target, in, out, channel, result);
    }

    static bool LayoutMatches() { return LayoutMatchesAt(std::index_sequence_for<Entries...>{}); }

    static constexpr InterfaceInfo Info() {
        return {&K47UuidOf<I>::value, kSlots, &Vtbl, &Invoke, &LayoutMatches};
    }

  private:
    template <size_t... Is>
    static std::array<Slot, kSlots> Make(std::index_sequence<Is...>) {
        return {reinterpret_cast<Slot>(&FaceQueryInterface), reinterpret_cast<Slot>(&FaceAddRef),
                reinterpret_cast<Slot>(&FaceRelease),
                Entries::template ProxySlot<static_cast<ULONG>(Is + 3)>()...};
    }
    template <size_t... Is>
    static bool LayoutMatchesAt(std::index_sequence<Is...>) {
        return (Entries::SlotMatches(static_cast<ULONG>(Is + 3)) && ...);
    }
};

}  // namespace k47ps
