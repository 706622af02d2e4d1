// The example plug-in module's entry points: one class, K47Example.PelcoDriver, created through a
// static class factory, and its registry entries (written by k47regsvr through DllRegisterServer).
#include <windows.h>
#include <objbase.h>
#include <atlbase.h>

#include <atomic>
#include <string>

#include "ExamplePelcoDriver.h"

#define K47_EXAMPLE_EXPORT EXTERN_C __attribute__((visibility("default")))

namespace {

constexpr const char* kDescription = "K47Example PelcoDriver Class";

HINSTANCE g_module = nullptr;
std::atomic<LONG> g_serverLocks{0};

class CExampleFactory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A static object: its count does not matter.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        return CExamplePelcoDriver::Create(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        g_serverLocks.fetch_add(lock ? 1 : -1, std::memory_order_acq_rel);
        return S_OK;
    }
};

CExampleFactory g_factory;

std::string ClsidText() {
    OLECHAR text[40];
    if (StringFromGUID2(CExamplePelcoDriver::kClsid, text, 40) == 0)
        return std::string();
    return std::string(static_cast<LPSTR>(CW2A(text)));
}

HRESULT FromStatus(LSTATUS status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32((DWORD)status);
}

// Creates `path` under HKEY_CLASSES_ROOT with a default value and, when `name` is given, one
// named value.
HRESULT SetKey(const std::string& path, const std::string& value, const char* name = nullptr,
               const std::string& namedValue = std::string()) {
    HKEY key = nullptr;
    LSTATUS status =
        RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return FromStatus(status);
    status = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1));
    if (status == ERROR_SUCCESS && name != nullptr) {
        status =
            RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(namedValue.c_str()),
                           static_cast<DWORD>(namedValue.size() + 1));
    }
    RegCloseKey(key);
    return FromStatus(status);
}

HRESULT DeleteKey(const std::string& path) {
    LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(status);
}

}  // namespace

K47_EXAMPLE_EXPORT BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
    return TRUE;
}

K47_EXAMPLE_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid,
                                                            LPVOID* ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CExamplePelcoDriver::kClsid))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

K47_EXAMPLE_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
    return CExamplePelcoDriver::LiveObjects() == 0 &&
                   g_serverLocks.load(std::memory_order_acquire) == 0
               ? S_OK
               : S_FALSE;
}

K47_EXAMPLE_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void) {
    char path[4096];
    DWORD n = GetModuleFileNameA(g_module, path, sizeof(path));
    if (n == 0 || n >= sizeof(path))
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    const std::string clsid = ClsidText();
    const std::string progId = CExamplePelcoDriver::kProgId;
    const std::string versioned = progId + ".1";
    const std::string classKey = "CLSID\\" + clsid;
    // The class key is written afresh, so nothing of an older registration stays behind.
    HRESULT hr = DeleteKey(classKey);
    if (SUCCEEDED(hr))
        hr = SetKey(versioned, kDescription);
    if (SUCCEEDED(hr))
        hr = SetKey(versioned + "\\CLSID", clsid);
    if (SUCCEEDED(hr))
        hr = SetKey(progId, kDescription);
    if (SUCCEEDED(hr))
        hr = SetKey(progId + "\\CLSID", clsid);
    if (SUCCEEDED(hr))
        hr = SetKey(progId + "\\CurVer", versioned);
    if (SUCCEEDED(hr))
        hr = SetKey(classKey, kDescription);
    if (SUCCEEDED(hr))
        hr = SetKey(classKey + "\\ProgID", versioned);
    if (SUCCEEDED(hr))
        hr = SetKey(classKey + "\\VersionIndependentProgID", progId);
    if (SUCCEEDED(hr))
        hr = SetKey(classKey + "\\InprocServer32", std::string(path, n), "ThreadingModel", "Both");
    return hr;
}

K47_EXAMPLE_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
    const std::string progId = CExamplePelcoDriver::kProgId;
    HRESULT hr = DeleteKey("CLSID\\" + ClsidText());
    if (SUCCEEDED(hr))
        hr = DeleteKey(progId + ".1");
    if (SUCCEEDED(hr))
        hr = DeleteKey(progId);
    return hr;
}
