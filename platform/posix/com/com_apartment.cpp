// Linux implementation file of the platform layer: may include Linux system headers.
// CoInitializeEx / CoUninitialize: a per-thread count and model, and a process-wide count of the
// threads that are initialised.
//
// Only the multithreaded apartment exists. A thread that asks for COINIT_APARTMENTTHREADED gets
// the answers Windows gives for the model it asked for (S_OK, S_FALSE, RPC_E_CHANGED_MODE against
// a later multithreaded request), but it behaves as a member of the MTA: objects it creates are
// called directly from any thread and nothing pumps messages for it.
#include <atomic>

#include "com/com_internal.h"

namespace {

std::atomic<int> g_initialised_threads{0};

struct ThreadApartment {
    unsigned count = 0;
    DWORD model = COINIT_MULTITHREADED;

    // A thread that ends without balancing its calls leaves the process count correct.
    ~ThreadApartment() {
        if (count > 0)
            g_initialised_threads.fetch_sub(1, std::memory_order_acq_rel);
    }
};

thread_local ThreadApartment t_apartment;

constexpr DWORD kKnownFlags =
    COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

}  // namespace

namespace k47::com {

bool CallsAllowed() noexcept {
    return t_apartment.count > 0 || g_initialised_threads.load(std::memory_order_acquire) > 0;
}

}  // namespace k47::com

EXTERN_C HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved != nullptr || (dwCoInit & ~kKnownFlags) != 0)
        return E_INVALIDARG;
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    ThreadApartment& apt = t_apartment;
    if (apt.count > 0) {
        // A failed call is not counted and must not be balanced by CoUninitialize.
        if (apt.model != model)
            return RPC_E_CHANGED_MODE;
        ++apt.count;
        return S_FALSE;
    }
    apt.count = 1;
    apt.model = model;
    g_initialised_threads.fetch_add(1, std::memory_order_acq_rel);
    return S_OK;
}

EXTERN_C HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

EXTERN_C void STDAPICALLTYPE CoUninitialize(void) {
    ThreadApartment& apt = t_apartment;
    if (apt.count == 0)
        return;  // unbalanced: ignored, as on Windows
    if (--apt.count == 0)
        g_initialised_threads.fetch_sub(1, std::memory_order_acq_rel);
}
