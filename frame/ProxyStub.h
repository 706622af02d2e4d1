// The module's marshalling code: the class object of the interfaces' proxies and stubs (it answers
// IK47PSFactory, the platform's interface for marshalling code, see k47/rpc.h), and the list of
// interfaces it marshals (written to the registry by DllRegisterServer). Thread-safe.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>

struct K47MarshalledInterface {
    const IID* iid;
    const char* name;
    int methodCount;  // including IUnknown's three
};

// The class of the proxy/stub factory: by convention the IID of the first marshalled interface.
extern const CLSID CLSID_K47PTZProxyStub;
extern const K47MarshalledInterface kK47MarshalledInterfaces[];
extern const size_t kK47MarshalledInterfaceCount;

void K47ProxyStubSetModule(HINSTANCE instance) noexcept;
// CLASS_E_CLASSNOTAVAILABLE for any class but the proxy/stub factory.
HRESULT K47ProxyStubGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept;
// True when no proxy or stub of this module is alive.
bool K47ProxyStubCanUnloadNow() noexcept;
// True when every table lists its interface's methods in their slots and matches the list above.
bool K47ProxyStubTablesMatchInterfaces() noexcept;
