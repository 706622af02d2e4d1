// A module whose DllMain refuses the process attach: loading it must fail with
// ERROR_DLL_INIT_FAILED, and activating a class through it with CO_E_ERRORINDLL.
#include "objbase.h"
#include "windows.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, void** ppv) {
    *ppv = nullptr;
    return E_UNEXPECTED;  // never reached: the load fails first
}
