// Registration of the module: scripts as data, applied in the class table's order.
#include "frame/Registration.h"

#include <atlbase.h>

#include "frame/ClassTable.h"
#include "frame/K47PTZ.h"
#include "frame/ProxyStub.h"

namespace {

constexpr const char* kLibraryHelpString = "K47PTZ 1.0 Type Library";
constexpr const char* kTypeLibVersion = "1.0";
constexpr const char* kTypeLibLocale = "409";  // 1033
constexpr const char* kAutomationMarshaler = "{00020424-0000-0000-C000-000000000046}";

// The interfaces the type library describes.
const IID* const kTypeLibInterfaces[] = {&IID_IK47PTZCamera, &IID_IK47PTZProtocol,
                                         &IID_IK47ObjectConfiguration, &IID_IK47PTZClient,
                                         &IID_IK47Terminate};
const char* const kTypeLibInterfaceNames[] = {"IK47PTZCamera", "IK47PTZProtocol",
                                              "IK47ObjectConfiguration", "IK47PTZClient",
                                              "IK47Terminate"};

std::string Guid(const GUID& guid) {
    OLECHAR text[40];
    if (StringFromGUID2(guid, text, 40) == 0)
        return std::string();
    return std::string(static_cast<LPSTR>(CW2A(text)));
}

K47RegKey Key(std::string name, K47RegKey::Removal removal = K47RegKey::Removal::Normal) {
    K47RegKey key;
    key.name = std::move(name);
    key.removal = removal;
    return key;
}

K47RegKey KeyWithDefault(std::string name, std::string value) {
    K47RegKey key = Key(std::move(name));
    key.hasDefault = true;
    key.defaultValue = std::move(value);
    return key;
}

HRESULT FromWin32(LSTATUS status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32((DWORD)status);
}

HRESULT SetString(HKEY key, const char* name, const std::string& value) {
    return FromWin32(RegSetValueExA(key, name, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>(value.size() + 1)));
}

// Deletes a key and everything below it; a key that is not there is not an error.
HRESULT DeleteTree(HKEY parent, const std::string& name) {
    LSTATUS status = RegDeleteTreeA(parent, name.c_str());
    if (status == ERROR_FILE_NOT_FOUND)
        return S_OK;
    return FromWin32(status);
}

std::string ModulePath(HINSTANCE module) {
    char path[4096];
    DWORD n = GetModuleFileNameA(module, path, sizeof(path));
    if (n == 0 || n >= sizeof(path))
        return std::string();
    return std::string(path, n);
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The thread locale is switched to the system default for the duration of (un)registration.
class SystemLocaleScope {
  public:
    SystemLocaleScope() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { SetThreadLocale(saved_); }
    SystemLocaleScope(const SystemLocaleScope&) = delete;
    SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

  private:
    LCID saved_;
};

// Type library entries go to the user's classes when per-user registration is on, else to the
// machine's, like RegisterTypeLibForUser and RegisterTypeLib.
HKEY TypeLibRoot(HKEY* opened) {
    bool perUser = false;
    AtlGetPerUserRegistration(&perUser);
    HKEY hive = perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    LSTATUS status = RegCreateKeyExA(hive, "Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, opened, nullptr);
    return status == ERROR_SUCCESS ? *opened : nullptr;
}

K47RegKey TypeLibScript(const std::string& modulePath) {
    K47RegKey root = Key("TypeLib", K47RegKey::Removal::NoRemove);
    K47RegKey lib = Key(Guid(LIBID_K47PTZLib));
    K47RegKey version = KeyWithDefault(kTypeLibVersion, kLibraryHelpString);
    version.children.push_back(KeyWithDefault("FLAGS", "0"));
    version.children.push_back(KeyWithDefault("HELPDIR", FolderOf(modulePath)));
    K47RegKey locale = Key(kTypeLibLocale);
    locale.children.push_back(KeyWithDefault("win64", modulePath));
    version.children.push_back(std::move(locale));
    lib.children.push_back(std::move(version));
    root.children.push_back(std::move(lib));
    return root;
}

K47RegKey TypeLibInterfaceScript() {
    K47RegKey root = Key("Interface", K47RegKey::Removal::NoRemove);
    for (size_t i = 0; i < std::size(kTypeLibInterfaces); ++i) {
        K47RegKey itf = KeyWithDefault(Guid(*kTypeLibInterfaces[i]), kTypeLibInterfaceNames[i]);
        itf.children.push_back(KeyWithDefault("ProxyStubClsid", kAutomationMarshaler));
        itf.children.push_back(KeyWithDefault("ProxyStubClsid32", kAutomationMarshaler));
        K47RegKey typeLib = KeyWithDefault("TypeLib", Guid(LIBID_K47PTZLib));
        typeLib.values.push_back({"Version", kTypeLibVersion});
        itf.children.push_back(std::move(typeLib));
        root.children.push_back(std::move(itf));
    }
    return root;
}

// Proxy/stub entries: every marshalled interface names the module's proxy/stub class, which is
// served by the module itself.
std::vector<K47RegKey> ProxyStubScripts(const std::string& modulePath) {
    K47RegKey interfaces = Key("Interface", K47RegKey::Removal::NoRemove);
    for (size_t i = 0; i < kK47MarshalledInterfaceCount; ++i) {
        const K47MarshalledInterface& m = kK47MarshalledInterfaces[i];
        K47RegKey itf = KeyWithDefault(Guid(*m.iid), m.name);
        itf.children.push_back(KeyWithDefault("ProxyStubClsid32", Guid(CLSID_K47PTZProxyStub)));
        itf.children.push_back(KeyWithDefault("NumMethods", std::to_string(m.methodCount)));
        interfaces.children.push_back(std::move(itf));
    }
    K47RegKey clsid = Key("CLSID", K47RegKey::Removal::NoRemove);
    K47RegKey factory = KeyWithDefault(Guid(CLSID_K47PTZProxyStub), "PSFactoryBuffer");
    factory.removal = K47RegKey::Removal::ForceRemove;
    K47RegKey server = KeyWithDefault("InprocServer32", modulePath);
    server.values.push_back({"ThreadingModel", "Both"});
    factory.children.push_back(std::move(server));
    clsid.children.push_back(std::move(factory));
    std::vector<K47RegKey> scripts;
    scripts.push_back(std::move(interfaces));
    scripts.push_back(std::move(clsid));
    return scripts;
}

HRESULT RegisterTypeLibrary(const std::string& modulePath) {
    HKEY classes = nullptr;
    if (TypeLibRoot(&classes) == nullptr)
        return TYPE_E_REGISTRYACCESS;
    HRESULT hr = K47ApplyScript(classes, TypeLibScript(modulePath));
    if (SUCCEEDED(hr))
        hr = K47ApplyScript(classes, TypeLibInterfaceScript());
    RegCloseKey(classes);
    return hr;
}

HRESULT UnregisterTypeLibrary() {
    HKEY classes = nullptr;
    if (TypeLibRoot(&classes) == nullptr)
        return TYPE_E_REGISTRYACCESS;
    HRESULT hr = K47RemoveScript(classes, TypeLibScript(std::string()));
    if (SUCCEEDED(hr))
        hr = K47RemoveScript(classes, TypeLibInterfaceScript());
    RegCloseKey(classes);
    return hr;
}

}  // namespace

K47RegKey K47AppIdScript() {
    const std::string appId = Guid(APPID_K47PTZ);
    K47RegKey root = Key("AppID", K47RegKey::Removal::NoRemove);
    root.children.push_back(KeyWithDefault(appId, "K47PTZ"));
    K47RegKey dll = Key("K47PTZ.DLL");
    dll.values.push_back({"AppID", appId});
    root.children.push_back(std::move(dll));
    return root;
}

K47RegKey K47ClassScript(size_t classIndex, const std::string& modulePath) {
    const K47ClassInfo& info = kK47ClassTable[classIndex];
    const std::string clsid = Guid(*info.clsid);
    const std::string viProgId = info.viProgId;
    const std::string progId = viProgId + ".1";
    const std::string description = std::string(info.name) + " Class";

    K47RegKey script = Key(std::string(), K47RegKey::Removal::NoRemove);  // HKCR itself

    K47RegKey versioned = KeyWithDefault(progId, description);
    versioned.children.push_back(KeyWithDefault("CLSID", clsid));
    script.children.push_back(std::move(versioned));

    K47RegKey independent = KeyWithDefault(viProgId, description);
    if ((info.flags & K47ClassInfo::kViProgIdWithoutClsid) == 0)
        independent.children.push_back(KeyWithDefault("CLSID", clsid));
    independent.children.push_back(KeyWithDefault("CurVer", progId));
    script.children.push_back(std::move(independent));

    K47RegKey clsidRoot = Key("CLSID", K47RegKey::Removal::NoRemove);
    K47RegKey classKey = KeyWithDefault(clsid, description);
    classKey.removal = K47RegKey::Removal::ForceRemove;
    classKey.children.push_back(KeyWithDefault("ProgID", progId));
    classKey.children.push_back(KeyWithDefault("VersionIndependentProgID", viProgId));
    K47RegKey server = KeyWithDefault("InprocServer32", modulePath);
    server.values.push_back({"ThreadingModel", "Both"});
    classKey.children.push_back(std::move(server));
    if ((info.flags & K47ClassInfo::kNoAppIdValue) == 0)
        classKey.values.push_back({"AppID", Guid(APPID_K47PTZ)});
    classKey.children.push_back(KeyWithDefault("TypeLib", Guid(LIBID_K47PTZLib)));
    if ((info.flags & K47ClassInfo::kVersionValue) != 0)
        classKey.values.push_back({"Version", "1.0"});
    clsidRoot.children.push_back(std::move(classKey));
    script.children.push_back(std::move(clsidRoot));
    return script;
}

HRESULT K47ApplyScript(HKEY root, const K47RegKey& script) {
    HKEY key = root;
    bool opened = false;
    if (!script.name.empty()) {
        if (script.removal == K47RegKey::Removal::ForceRemove) {
            HRESULT hr = DeleteTree(root, script.name);
            if (FAILED(hr))
                return hr;
        }
        LSTATUS status =
            RegCreateKeyExA(root, script.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS)
            return FromWin32(status);
        opened = true;
    }
    HRESULT hr = S_OK;
    if (script.hasDefault)
        hr = SetString(key, nullptr, script.defaultValue);
    for (size_t i = 0; SUCCEEDED(hr) && i < script.values.size(); ++i)
        hr = SetString(key, script.values[i].name.c_str(), script.values[i].data);
    for (size_t i = 0; SUCCEEDED(hr) && i < script.children.size(); ++i)
        hr = K47ApplyScript(key, script.children[i]);
    if (opened)
        RegCloseKey(key);
    return hr;
}

HRESULT K47RemoveScript(HKEY root, const K47RegKey& script) {
    if (!script.name.empty() && script.removal != K47RegKey::Removal::NoRemove)
        return DeleteTree(root, script.name);
    HKEY key = root;
    bool opened = false;
    if (!script.name.empty()) {
        LSTATUS status = RegOpenKeyExA(root, script.name.c_str(), 0, KEY_ALL_ACCESS, &key);
        if (status == ERROR_FILE_NOT_FOUND)
            return S_OK;
        if (status != ERROR_SUCCESS)
            return FromWin32(status);
        opened = true;
    }
    HRESULT hr = S_OK;
    for (size_t i = 0; SUCCEEDED(hr) && i < script.children.size(); ++i)
        hr = K47RemoveScript(key, script.children[i]);
    if (opened)
        RegCloseKey(key);
    return hr;
}

HRESULT K47RegisterServer(HINSTANCE module) {
    SystemLocaleScope locale;
    const std::string modulePath = ModulePath(module);
    if (modulePath.empty())
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    HRESULT hr = K47ApplyScript(HKEY_CLASSES_ROOT, K47AppIdScript());
    for (size_t i = 0; SUCCEEDED(hr) && i < kK47ClassCount; ++i)
        hr = K47ApplyScript(HKEY_CLASSES_ROOT, K47ClassScript(i, modulePath));
    if (SUCCEEDED(hr))
        hr = RegisterTypeLibrary(modulePath);
    if (SUCCEEDED(hr)) {
        for (const K47RegKey& script : ProxyStubScripts(modulePath)) {
            hr = K47ApplyScript(HKEY_CLASSES_ROOT, script);
            if (FAILED(hr))
                break;
        }
    }
    return hr;
}

HRESULT K47UnregisterServer(HINSTANCE /*module*/) {
    HRESULT hr = S_OK;
    {
        SystemLocaleScope locale;
        for (size_t i = 0; SUCCEEDED(hr) && i < kK47ClassCount; ++i)
            hr = K47RemoveScript(HKEY_CLASSES_ROOT, K47ClassScript(i, std::string()));
        if (SUCCEEDED(hr))
            hr = UnregisterTypeLibrary();
        if (SUCCEEDED(hr))
            hr = K47RemoveScript(HKEY_CLASSES_ROOT, K47AppIdScript());
    }
    if (SUCCEEDED(hr)) {
        for (const K47RegKey& script : ProxyStubScripts(std::string())) {
            hr = K47RemoveScript(HKEY_CLASSES_ROOT, script);
            if (FAILED(hr))
                break;
        }
    }
    return hr;
}
