// The module object and the exported entry points.
#include "frame/K47PTZModule.h"

#include "frame/ClassTable.h"
#include "frame/ProxyStub.h"
#include "frame/Registration.h"

CK47PTZModule g_K47PTZModule;

CK47PTZModule::CK47PTZModule() noexcept {
    m_initFailed = !InitializeCriticalSectionEx(&m_classObjectSection, 0, 0);
}

CK47PTZModule::~CK47PTZModule() {
    if (!m_initFailed)
        DeleteCriticalSection(&m_classObjectSection);
}

void K47ModuleLock() noexcept {
    g_K47PTZModule.Lock();
}
void K47ModuleUnlock() noexcept {
    g_K47PTZModule.Unlock();
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_K47PTZModule.SetModuleInstance(hInstance);
        K47ProxyStubSetModule(hInstance);
        return g_K47PTZModule.Initialized() ? TRUE : FALSE;
    }
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    HRESULT hr = K47ProxyStubGetClassObject(rclsid, riid, ppv);
    if (hr != CLASS_E_CLASSNOTAVAILABLE)
        return hr;
    return K47ClassTableGetClassObject(rclsid, riid, ppv);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
    return (K47ProxyStubCanUnloadNow() && g_K47PTZModule.GetLockCount() == 0) ? S_OK : S_FALSE;
}

HRESULT STDAPICALLTYPE DllRegisterServer(void) {
    return K47RegisterServer(g_K47PTZModule.GetModuleInstance());
}

HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
    return K47UnregisterServer(g_K47PTZModule.GetModuleInstance());
}
