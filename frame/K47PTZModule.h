// The module object of the K47PTZ library (one per process): the lock count that DllCanUnloadNow
// reads (live objects plus server locks), the critical section under which class objects are
// created, and the module handle recorded by DllMain.
#pragma once

#include <windows.h>

#include <atomic>

class CK47PTZModule {
  public:
    CK47PTZModule() noexcept;
    ~CK47PTZModule();
    CK47PTZModule(const CK47PTZModule&) = delete;
    CK47PTZModule& operator=(const CK47PTZModule&) = delete;

    LONG Lock() noexcept { return m_lockCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    LONG Unlock() noexcept { return m_lockCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    LONG GetLockCount() const noexcept { return m_lockCount.load(std::memory_order_acquire); }

    // False when the module's initialisation failed; DllMain then refuses the attach.
    bool Initialized() const noexcept { return !m_initFailed; }

    void EnterClassObjectSection() noexcept { EnterCriticalSection(&m_classObjectSection); }
    void LeaveClassObjectSection() noexcept { LeaveCriticalSection(&m_classObjectSection); }

    HINSTANCE GetModuleInstance() const noexcept { return m_hInstance; }
    void SetModuleInstance(HINSTANCE instance) noexcept { m_hInstance = instance; }

  private:
    std::atomic<LONG> m_lockCount{0};
    CRITICAL_SECTION m_classObjectSection;
    bool m_initFailed = false;
    HINSTANCE m_hInstance = nullptr;
};

extern CK47PTZModule g_K47PTZModule;

// The module's exported entry points (C linkage).
#define K47_EXPORT EXTERN_C __attribute__((visibility("default")))
K47_EXPORT BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved);
K47_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
K47_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void);
K47_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void);
K47_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void);
