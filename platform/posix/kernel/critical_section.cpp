// Linux implementation file of the platform layer: may include Linux system headers.
// Critical sections: a recursive pthread mutex placed inside the caller's opaque
// CRITICAL_SECTION buffer. TryEnterCriticalSection succeeds for the owner (recursion), as on
// Windows. The spin count is a hint: Enter first tries the lock that many times (at most a few
// thousand) before blocking, which is what the hint asks for on a multi-core machine.
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "synchapi.h"

namespace {

struct CriticalSectionImpl {
    pthread_mutex_t mutex;
    DWORD spin_count;
};
static_assert(sizeof(CriticalSectionImpl) <= sizeof(CRITICAL_SECTION));
static_assert(alignof(CriticalSectionImpl) <= alignof(CRITICAL_SECTION));

// Bounds the spinning a caller can ask for; Windows masks the count to 24 bits.
constexpr DWORD kMaxSpin = 4096;

CriticalSectionImpl* Impl(LPCRITICAL_SECTION cs) {
    return std::launder(reinterpret_cast<CriticalSectionImpl*>(cs->Opaque));
}

void Init(LPCRITICAL_SECTION cs, DWORD spin_count) {
    auto* impl = new (cs->Opaque) CriticalSectionImpl;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (pthread_mutex_init(&impl->mutex, &attr) != 0) {
        std::abort();  // glibc does not fail for a process-private recursive mutex
    }
    pthread_mutexattr_destroy(&attr);
    impl->spin_count = std::min<DWORD>(spin_count & 0x00FFFFFF, kMaxSpin);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Init(lpCriticalSection, 0);
}

// Always succeeds, as on Windows since Vista.
EXTERN_C BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                           DWORD dwSpinCount) {
    Init(lpCriticalSection, dwSpinCount);
    return TRUE;
}

// Flags (debug information switches) have no meaning here.
EXTERN_C BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection,
                                                 DWORD dwSpinCount, DWORD) {
    Init(lpCriticalSection, dwSpinCount);
    return TRUE;
}

EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    CriticalSectionImpl* impl = Impl(lpCriticalSection);
    for (DWORD i = 0; i < impl->spin_count; ++i) {
        if (pthread_mutex_trylock(&impl->mutex) == 0) {
            return;
        }
        CpuRelax();
    }
    pthread_mutex_lock(&impl->mutex);
}

EXTERN_C BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return pthread_mutex_trylock(&Impl(lpCriticalSection)->mutex) == 0 ? TRUE : FALSE;
}

// Leaving a section the caller does not own is undefined on Windows; the recursive mutex
// refuses it (EPERM) and nothing changes.
EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(&Impl(lpCriticalSection)->mutex);
}

EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    CriticalSectionImpl* impl = Impl(lpCriticalSection);
    pthread_mutex_destroy(&impl->mutex);
    impl->~CriticalSectionImpl();
}
