// What DllRegisterServer and DllUnregisterServer write and remove: the AppID script, one class
// script per class of the class table (generated from the table's data, with its exceptions), the
// type library description compiled into the module, and the proxy/stub entries.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A registry script: a tree of keys under HKEY_CLASSES_ROOT, in the manner of a registrar script.
struct K47RegValue {
    std::string name;
    std::string data;  // REG_SZ
};

struct K47RegKey {
    enum class Removal {
        Normal,       // created on registration, removed whole on unregistration
        NoRemove,     // never removed; only its children are
        ForceRemove,  // deleted and written afresh on registration, removed whole on unregistration
    };
    std::string name;
    bool hasDefault = false;
    std::string defaultValue;
    std::vector<K47RegValue> values;
    std::vector<K47RegKey> children;
    Removal removal = Removal::Normal;
};

// The scripts, with the replacements already made.
K47RegKey K47AppIdScript();
K47RegKey K47ClassScript(size_t classIndex, const std::string& modulePath);

// Applies or removes a script under a root key; the first failure is returned (as HRESULT).
HRESULT K47ApplyScript(HKEY root, const K47RegKey& script);
HRESULT K47RemoveScript(HKEY root, const K47RegKey& script);

HRESULT K47RegisterServer(HINSTANCE module);
HRESULT K47UnregisterServer(HINSTANCE module);
