// The marshalling code of the module: the table of each marshalled interface (its methods in slot
// order), the proxy/stub factory class object that the platform asks for IK47PSFactory, and the
// registration data. Proxies and stubs themselves are generated from the tables
// (ProxyStubTable.h); methods with an argument that cannot cross (an XML element, an interface
// pointer going to the server, a raw record) answer E_NOTIMPL across processes.
#include "frame/ProxyStub.h"

#include <wrl/client.h>

#include <atomic>
#include <iterator>
#include <new>

#include "frame/K47PTZ.h"
#include "frame/ProxyStubTable.h"

using k47ps::Method;
using k47ps::Placeholder;
using Microsoft::WRL::ComPtr;

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
    {&IID_IK47LineStatus, "IK47LineStatus", 4},
    {&IID_IK47CameraStatus, "IK47CameraStatus", 4},
};
const size_t kK47MarshalledInterfaceCount = std::size(kK47MarshalledInterfaces);

namespace {

using CameraTable =
    k47ps::Table<IK47PTZCamera, Method<&IK47PTZCamera::MoveRelative>,
                 Method<&IK47PTZCamera::Command>, Method<&IK47PTZCamera::StartRemoteSession>,
                 Method<&IK47PTZCamera::MenuCommand>, Method<&IK47PTZCamera::QueryFunctions>,
                 Method<&IK47PTZCamera::GetAddress>, Method<&IK47PTZCamera::EndMotion>>;
using ProtocolTable =
    k47ps::Table<IK47PTZProtocol, Method<&IK47PTZProtocol::AddCamera>,
                 Method<&IK47PTZProtocol::MoveRelative>, Method<&IK47PTZProtocol::Command>,
                 Method<&IK47PTZProtocol::MenuCommand>, Method<&IK47PTZProtocol::QueryFunctions>>;
using ConfigurationTable =
    k47ps::Table<IK47ObjectConfiguration, Method<&IK47ObjectConfiguration::Initialize>,
                 Method<&IK47ObjectConfiguration::Reconfigure>,
                 Method<&IK47ObjectConfiguration::MakeDefault>>;
using ClientTable =
    k47ps::Table<IK47PTZClient, Method<&IK47PTZClient::Connect>,
                 Method<&IK47PTZClient::MoveRelative>, Method<&IK47PTZClient::Command>,
                 Method<&IK47PTZClient::EndMotion>, Method<&IK47PTZClient::MenuCommand>,
                 Method<&IK47PTZClient::QueryFunctions>>;
using TerminateTable = k47ps::Table<IK47Terminate, Method<&IK47Terminate::Terminate>>;
using EventSinkTable = k47ps::Table<IK47EventSink, Method<&IK47EventSink::OnEvent>>;
// Only the three methods the library's callers use cross; the others are placeholders.
using ObjectServerTable =
    k47ps::Table<IK47ObjectServer, Placeholder, Placeholder, Placeholder, Placeholder, Placeholder,
                 Placeholder, Placeholder, Method<&IK47ObjectServer::LookupObject>, Placeholder,
                 Placeholder, Placeholder, Placeholder, Method<&IK47ObjectServer::StatusCheck>,
                 Placeholder, Placeholder, Method<&IK47ObjectServer::GetObjectName>>;
using VariableStoreTable = k47ps::Table<IK47VariableStore, Method<&IK47VariableStore::GetVariable>>;
// Advise would need the sink to cross the other way: it fails (E_NOTIMPL).
using VariableTable =
    k47ps::Table<IK47Variable, Method<&IK47Variable::Advise>, Method<&IK47Variable::Unadvise>,
                 Method<&IK47Variable::SetValue>, Method<&IK47Variable::GetValue>>;
using PortServiceTable =
    k47ps::Table<IK47PortService, Method<&IK47PortService::AllocatePort>,
                 Method<&IK47PortService::ReleasePort>, Method<&IK47PortService::IsEnabled>>;

// For a local client's status of a camera and its line.
using LineStatusTable = k47ps::Table<IK47LineStatus, Method<&IK47LineStatus::GetLineStatus>>;
using CameraStatusTable =
    k47ps::Table<IK47CameraStatus, Method<&IK47CameraStatus::GetSessionOwner>>;

constexpr k47ps::InterfaceInfo kTables[] = {
    CameraTable::Info(),       ProtocolTable::Info(),      ConfigurationTable::Info(),
    ClientTable::Info(),       TerminateTable::Info(),     EventSinkTable::Info(),
    ObjectServerTable::Info(), VariableStoreTable::Info(), VariableTable::Info(),
    PortServiceTable::Info(),  LineStatusTable::Info(),    CameraStatusTable::Info(),
};

std::atomic<long> g_liveObjects{0};

const k47ps::InterfaceInfo* FindTable(REFIID riid) {
    for (const auto& info : kTables)
        if (IsEqualIID(*info.iid, riid))
            return &info;
    return nullptr;
}

class CK47Stub final : public IK47RpcStub {
  public:
    CK47Stub(const k47ps::InterfaceInfo& info, ComPtr<IUnknown> held, void* target)
        : m_info(info), m_held(std::move(held)), m_target(target) {
        k47ps::ObjectCreated();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IK47RpcStub)) {
            *ppv = static_cast<IK47RpcStub*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Invoke(ULONG method, k47::RpcMessage* request, k47::RpcMessage* reply,
                                     IK47RpcChannel* channel, HRESULT* result) override {
        if (request == nullptr || reply == nullptr || channel == nullptr || result == nullptr)
            return E_POINTER;
        return m_info.invoke(method, m_target, request, reply, channel, result);
    }

  private:
    ~CK47Stub() { k47ps::ObjectDestroyed(); }

    const k47ps::InterfaceInfo& m_info;
    ComPtr<IUnknown> m_held;  // the reference on the object (m_target is the same interface)
    void* m_target;
    std::atomic<ULONG> m_refs{1};
};

// The class object of the proxy/stub class: static, never destroyed, not counted.
class CK47PSFactory final : public IK47PSFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IK47PSFactory)) {
            *ppv = static_cast<IK47PSFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateProxy(IUnknown* pUnkOuter, REFIID riid, IK47RpcChannel* channel,
                                          IUnknown** ppInner, void** ppv) override {
        if (ppInner == nullptr || ppv == nullptr)
            return E_POINTER;
        *ppInner = nullptr;
        *ppv = nullptr;
        const k47ps::InterfaceInfo* info = FindTable(riid);
        if (info == nullptr)
            return E_NOINTERFACE;
        if (pUnkOuter == nullptr || channel == nullptr)
            return E_INVALIDARG;
        auto* proxy = new (std::nothrow) k47ps::ProxyInner(pUnkOuter, channel, *info);
        if (proxy == nullptr)
            return E_OUTOFMEMORY;
        *ppInner = proxy;
        *ppv = proxy->face();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CreateStub(REFIID riid, IUnknown* pUnkServer,
                                         IK47RpcStub** ppStub) override {
        if (ppStub == nullptr)
            return E_POINTER;
        *ppStub = nullptr;
        const k47ps::InterfaceInfo* info = FindTable(riid);
        if (info == nullptr)
            return E_NOINTERFACE;
        if (pUnkServer == nullptr)
            return E_INVALIDARG;
        ComPtr<IUnknown> target;
        HRESULT hr =
            pUnkServer->QueryInterface(riid, reinterpret_cast<void**>(target.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        void* raw = target.Get();
        auto* stub = new (std::nothrow) CK47Stub(*info, std::move(target), raw);
        if (stub == nullptr)
            return E_OUTOFMEMORY;
        *ppStub = stub;
        return S_OK;
    }
};

CK47PSFactory g_psFactory;
HINSTANCE g_proxyStubModule = nullptr;

}  // namespace

namespace k47ps {

void ObjectCreated() noexcept {
    g_liveObjects.fetch_add(1, std::memory_order_relaxed);
}
void ObjectDestroyed() noexcept {
    g_liveObjects.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace k47ps

void K47ProxyStubSetModule(HINSTANCE instance) noexcept {
    g_proxyStubModule = instance;
}

HRESULT K47ProxyStubGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_K47PTZProxyStub))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_psFactory.QueryInterface(riid, ppv);
}

bool K47ProxyStubCanUnloadNow() noexcept {
    return g_liveObjects.load(std::memory_order_acquire) == 0;
}

bool K47ProxyStubTablesMatchInterfaces() noexcept {
    for (const auto& info : kTables) {
        if (!info.layout_matches())
            return false;
        bool listed = false;
        for (const auto& m : kK47MarshalledInterfaces)
            listed = listed || (IsEqualIID(*m.iid, *info.iid) &&
                                static_cast<ULONG>(m.methodCount) == info.slots);
        if (!listed)
            return false;
    }
    return std::size(kTables) == kK47MarshalledInterfaceCount;
}
