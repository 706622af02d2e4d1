// Linux implementation file of the platform layer: may include Linux system headers.
// Activation: the class objects registered in this process, in-process servers found through
// HKCR\CLSID\{clsid}\InprocServer32, ProgIDs, CoGetClassObject and CoCreateInstance.
//
// Search order of CoGetClassObject: for CLSCTX_INPROC_SERVER the platform's built-in classes
// (com_builtin.cpp), then class objects registered in this process (for the contexts asked),
// then for CLSCTX_INPROC_SERVER the registry's InprocServer32 module, then for
// CLSCTX_LOCAL_SERVER the cross-process transport (com_local_client.cpp). InprocHandler32 and
// remote servers are not supported. The ThreadingModel value is not consulted: with only the
// multithreaded apartment, every in-process object is handed out directly.
//
// In-process server modules stay loaded for the life of the process once loaded for activation.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "com/com_internal.h"
#include "com/local/com_local_server.h"
#include "support/boundary.h"
#include "support/utf_bridge.h"
#include "windows.h"

using Microsoft::WRL::ComPtr;

namespace {

struct Registration {
    DWORD cookie;
    CLSID clsid;
    ComPtr<IUnknown> object;
    DWORD context;
    DWORD flags;
};

struct ClassTable {
    std::mutex mu;
    std::vector<Registration> entries;
    DWORD next_cookie = 1;
};

ClassTable& Classes() {
    static ClassTable table;
    return table;
}

struct InprocModule {
    HMODULE module;
    LPFNGETCLASSOBJECT get_class_object;
};

struct ModuleCache {
    std::mutex mu;
    std::unordered_map<std::string, InprocModule> by_path;
};

ModuleCache& Modules() {
    static ModuleCache cache;
    return cache;
}

// Owns an open registry key.
class UniqueKey {
  public:
    UniqueKey() noexcept = default;
    ~UniqueKey() {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    UniqueKey(const UniqueKey&) = delete;
    UniqueKey& operator=(const UniqueKey&) = delete;
    PHKEY receive() noexcept { return &key_; }
    HKEY get() const noexcept { return key_; }

  private:
    HKEY key_ = nullptr;
};

}  // namespace

namespace k47::com {

std::string GuidKeyName(REFGUID guid) {
    OLECHAR text[40] = {};
    int n = StringFromGUID2(guid, text, 40);
    return n > 1 ? k47::support::Utf16ToUtf8(std::u16string_view(text, static_cast<size_t>(n - 1)))
                 : std::string();
}

namespace {

// %NAME% references replaced by the environment's values (unknown names are left as they are).
std::string ExpandEnvironment(const std::string& text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t open = text.find('%', pos);
        size_t close = open == std::string::npos ? open : text.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, open - pos);
        std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        out += value != nullptr ? std::string(value) : text.substr(open, close - open + 1);
        pos = close + 1;
    }
    return out;
}

}  // namespace

std::optional<std::string> ReadClassesString(const std::string& path) {
    UniqueKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.receive()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return std::nullopt;
    std::string text(size, '\0');
    if (size > 0 && RegQueryValueExA(key.get(), nullptr, nullptr, &type,
                                     reinterpret_cast<LPBYTE>(text.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    text.resize(std::min<size_t>(size, text.size()));
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    return type == REG_EXPAND_SZ ? ExpandEnvironment(text) : text;
}

}  // namespace k47::com

namespace {

using k47::com::GuidKeyName;
using k47::com::ReadClassesString;

HRESULT LoadInprocModule(const std::string& path, InprocModule* out) {
    ModuleCache& cache = Modules();
    {
        std::lock_guard<std::mutex> lock(cache.mu);
        auto it = cache.by_path.find(path);
        if (it != cache.by_path.end()) {
            *out = it->second;
            return S_OK;
        }
    }
    // Loaded without the cache lock: DllMain may itself activate classes.
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        DWORD err = GetLastError();
        return err == ERROR_MOD_NOT_FOUND ? CO_E_DLLNOTFOUND : CO_E_ERRORINDLL;
    }
    // Through void*: FARPROC and the real signature are incompatible function types.
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (get == nullptr) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    std::lock_guard<std::mutex> lock(cache.mu);
    auto [it, inserted] = cache.by_path.emplace(path, InprocModule{module, get});
    if (!inserted)
        FreeLibrary(module);  // another thread loaded it meanwhile
    *out = it->second;
    return S_OK;
}

HRESULT InprocServerFromRegistry(REFCLSID clsid, REFIID riid, void** ppv) {
    std::optional<std::string> path =
        ReadClassesString("CLSID\\" + GuidKeyName(clsid) + "\\InprocServer32");
    if (!path || path->empty())
        return REGDB_E_CLASSNOTREG;
    InprocModule module{};
    HRESULT hr = LoadInprocModule(*path, &module);
    if (FAILED(hr))
        return hr;
    hr = module.get_class_object(clsid, riid, ppv);
    if (FAILED(hr))
        *ppv = nullptr;
    return hr;
}

bool Serves(const Registration& reg, DWORD context) {
    if (context == CLSCTX_LOCAL_SERVER)
        return (reg.context & CLSCTX_LOCAL_SERVER) != 0;
    // A class object registered for other processes with REGCLS_MULTIPLEUSE also serves this
    // one (REGCLS_MULTI_SEPARATE asks for separate registrations).
    if (reg.context & CLSCTX_INPROC_SERVER)
        return true;
    return (reg.context & CLSCTX_LOCAL_SERVER) != 0 &&
           (reg.flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == REGCLS_MULTIPLEUSE;
}

}  // namespace

namespace k47::com {

ComPtr<IUnknown> FindRegisteredClassObject(REFCLSID clsid, DWORD context) {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> lock(table.mu);
    for (const Registration& reg : table.entries) {
        if (reg.clsid == clsid && Serves(reg, context))
            return reg.object;
    }
    return nullptr;
}

}  // namespace k47::com

EXTERN_C HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO*,
                                                 REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!k47::com::CallsAllowed())
        return CO_E_NOTINITIALIZED;
    constexpr DWORD kServers =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    if ((dwClsContext & kServers) == 0)
        return E_INVALIDARG;
    return k47::support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&]() -> HRESULT {
        // The platform's own classes come first and need no registration.
        if (dwClsContext & CLSCTX_INPROC_SERVER) {
            if (ComPtr<IUnknown> builtin = k47::com::FindBuiltinClassObject(rclsid))
                return builtin->QueryInterface(riid, ppv);
        }
        for (DWORD context :
             {static_cast<DWORD>(CLSCTX_INPROC_SERVER), static_cast<DWORD>(CLSCTX_LOCAL_SERVER)}) {
            if ((dwClsContext & context) == 0)
                continue;
            if (context == CLSCTX_LOCAL_SERVER && k47::com::local::LocalServerThroughSocket())
                continue;
            if (ComPtr<IUnknown> object = k47::com::FindRegisteredClassObject(rclsid, context))
                return object->QueryInterface(riid, ppv);
        }
        // The first real failure wins over "not registered" from a later context.
        HRESULT result = REGDB_E_CLASSNOTREG;
        if (dwClsContext & CLSCTX_INPROC_SERVER) {
            HRESULT hr = InprocServerFromRegistry(rclsid, riid, ppv);
            if (SUCCEEDED(hr))
                return hr;
            result = hr;
        }
        if (dwClsContext & CLSCTX_LOCAL_SERVER) {
            HRESULT hr = k47::com::local::LocalServerGetClassObject(rclsid, riid, ppv);
            if (SUCCEEDED(hr))
                return hr;
            if (result == REGDB_E_CLASSNOTREG)
                result = hr;
        }
        *ppv = nullptr;
        return result;
    });
}

EXTERN_C HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter,
                                                 DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    if (FAILED(hr))
        *ppv = nullptr;
    return hr;
}

EXTERN_C HRESULT STDAPICALLTYPE CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk,
                                                      DWORD dwClsContext, DWORD flags,
                                                      LPDWORD lpdwRegister) {
    if (pUnk == nullptr || lpdwRegister == nullptr)
        return E_INVALIDARG;
    *lpdwRegister = 0;
    if (!k47::com::CallsAllowed())
        return CO_E_NOTINITIALIZED;
    if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER)) == 0)
        return E_INVALIDARG;
    return k47::support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&]() -> HRESULT {
        ClassTable& table = Classes();
        DWORD cookie = 0;
        {
            std::lock_guard<std::mutex> lock(table.mu);
            cookie = table.next_cookie++;
            if (table.next_cookie == 0)
                table.next_cookie = 1;
            table.entries.push_back({cookie, rclsid, ComPtr<IUnknown>(pUnk), dwClsContext, flags});
        }
        if (dwClsContext & CLSCTX_LOCAL_SERVER) {
            HRESULT hr = k47::com::local::LocalServerPublish(rclsid, pUnk, flags, cookie);
            if (FAILED(hr)) {
                CoRevokeClassObject(cookie);
                return hr;
            }
        }
        *lpdwRegister = cookie;
        return S_OK;
    });
}

EXTERN_C HRESULT STDAPICALLTYPE CoRevokeClassObject(DWORD dwRegister) {
    ComPtr<IUnknown> released;  // released after the lock: its Release may call into COM
    DWORD context = 0;
    {
        ClassTable& table = Classes();
        std::lock_guard<std::mutex> lock(table.mu);
        auto it = table.entries.begin();
        while (it != table.entries.end() && it->cookie != dwRegister)
            ++it;
        if (it == table.entries.end())
            return CO_E_OBJNOTREG;
        released = std::move(it->object);
        context = it->context;
        table.entries.erase(it);
    }
    if (context & CLSCTX_LOCAL_SERVER)
        k47::com::local::LocalServerRevoke(dwRegister);
    return S_OK;
}

// In-process server modules are never unloaded (see loader.cpp: FreeLibrary does not dlclose),
// so there is nothing to free and DllCanUnloadNow is not consulted.
EXTERN_C void STDAPICALLTYPE CoFreeUnusedLibraries(void) {}

EXTERN_C HRESULT STDAPICALLTYPE CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (lpszProgID == nullptr || lpclsid == nullptr)
        return E_INVALIDARG;
    return k47::support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&]() -> HRESULT {
        std::string progid = k47::support::Utf16ToUtf8(lpszProgID);
        if (progid.empty() || progid.find('\\') != std::string::npos)
            return CO_E_CLASSSTRING;
        std::optional<std::string> text = ReadClassesString(progid + "\\CLSID");
        if (!text) {
            // A version-independent ProgID may name its class only through CurVer: follow it once.
            std::optional<std::string> current = ReadClassesString(progid + "\\CurVer");
            if (!current || current->empty() || current->find('\\') != std::string::npos)
                return CO_E_CLASSSTRING;
            text = ReadClassesString(*current + "\\CLSID");
            if (!text)
                return CO_E_CLASSSTRING;
        }
        std::u16string wide = k47::support::Utf8ToUtf16(*text);
        CLSID clsid{};
        if (FAILED(CLSIDFromString(wide.c_str(), &clsid)))
            return CO_E_CLASSSTRING;
        *lpclsid = clsid;
        return S_OK;
    });
}

EXTERN_C HRESULT STDAPICALLTYPE ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
    if (lplpszProgID == nullptr)
        return E_INVALIDARG;
    *lplpszProgID = nullptr;
    return k47::support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&]() -> HRESULT {
        std::optional<std::string> progid =
            ReadClassesString("CLSID\\" + GuidKeyName(clsid) + "\\ProgID");
        if (!progid || progid->empty())
            return REGDB_E_CLASSNOTREG;
        std::u16string wide = k47::support::Utf8ToUtf16(*progid);
        auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
        if (out == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(OLECHAR));
        *lplpszProgID = out;
        return S_OK;
    });
}
