// The marshalling code's registration data and class object. Proxies and stubs for calls across
// processes are built from the table of each interface's methods (see the cross-process layer);
// until that is present in this build the factory class is not offered.
#include "frame/ProxyStub.h"

#include <atomic>
#include <iterator>

#include "frame/K47PTZ.h"

const CLSID CLSID_K47PTZProxyStub = IID_IK47PTZCamera;

const K47MarshalledInterface kK47MarshalledInterfaces[] = {
    {&IID_IK47PTZCamera, "IK47PTZCamera", 10},
    {&IID_IK47PTZProtocol, "IK47PTZProtocol", 8},
    {&IID_IK47ObjectConfiguration, "IK47ObjectConfiguration", 6},
    {&IID_IK47PTZClient, "IK47PTZClient", 9},
    {&IID_IK47Terminate, "IK47Terminate", 4},
    {&IID_IK47EventSink, "IK47EventSink", 4},
    {&IID_IK47ObjectServer, "IK47ObjectServer", 19},
    {&IID_IK47VariableStore, "IK47VariableStore", 4},
    {&IID_IK47Variable, "IK47Variable", 7},
    {&IID_IK47PortService, "IK47PortService", 6},
};
const size_t kK47MarshalledInterfaceCount = std::size(kK47MarshalledInterfaces);

namespace {
HINSTANCE g_proxyStubModule = nullptr;
}

void K47ProxyStubSetModule(HINSTANCE instance) noexcept { g_proxyStubModule = instance; }

HRESULT K47ProxyStubGetClassObject(REFCLSID /*rclsid*/, REFIID /*riid*/, void** ppv) noexcept {
    if (ppv != nullptr) *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

bool K47ProxyStubCanUnloadNow() noexcept { return true; }
