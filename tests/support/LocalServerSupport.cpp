// Local servers with the library's proxies and stubs, and the fakes served by them.
#include "tests/support/LocalServerSupport.h"

#include <gtest/gtest.h>
#include <k47/localserver.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "frame/ProxyStub.h"

using Microsoft::WRL::ComPtr;

namespace k47test {

namespace {

std::string GuidText(REFGUID guid) {
    OLECHAR wide[40];
    int n = StringFromGUID2(guid, wide, 40);
    return std::string(wide, wide + (n > 0 ? n - 1 : 0));
}

void SetClassesDefault(const std::string& path, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot create HKCR\\" << path;
        return;
    }
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

// The library is linked into the test binary: its proxy/stub class object is registered in the
// process once, as the module's DllGetClassObject would serve it.
void RegisterProxyStubClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // this thread stays in the MTA
        ComPtr<IUnknown> factory;
        if (FAILED(K47ProxyStubGetClassObject(CLSID_K47PTZProxyStub, IID_IUnknown,
                                              reinterpret_cast<void**>(factory.GetAddressOf())))) {
            ADD_FAILURE() << "no proxy/stub class object";
            return;
        }
        DWORD cookie = 0;
        CoRegisterClassObject(CLSID_K47PTZProxyStub, factory.Get(), CLSCTX_INPROC_SERVER,
                              REGCLS_MULTIPLEUSE, &cookie);
    });
}

}  // namespace

ScopedLocalServers::ScopedLocalServers() {
    RegisterProxyStubClass();
    char pattern[] = "/tmp/k47-run-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    folder_ = pattern;
    setenv("K47_RUNTIME_DIR", folder_.c_str(), 1);
    const std::string ps = GuidText(CLSID_K47PTZProxyStub);
    for (size_t i = 0; i < kK47MarshalledInterfaceCount; ++i)
        SetClassesDefault(
            "Interface\\" + GuidText(*kK47MarshalledInterfaces[i].iid) + "\\ProxyStubClsid32", ps);
    k47::SetLocalServerThroughSocket(true);
}

ScopedLocalServers::~ScopedLocalServers() {
    Revoke();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (k47::LocalServerConnectionCount() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(0u, k47::LocalServerConnectionCount()) << "a client connection outlived its test";
    k47::SetLocalServerThroughSocket(false);
    unsetenv("K47_RUNTIME_DIR");
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

HRESULT ScopedLocalServers::Publish(REFCLSID clsid, IUnknown* object) {
    ComPtr<IClassFactory> factory = CSingleObjectFactory::Create(object);
    if (!factory)
        return E_OUTOFMEMORY;
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(clsid, factory.Get(), CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &cookie);
    if (SUCCEEDED(hr))
        cookies_.push_back(cookie);
    return hr;
}

void ScopedLocalServers::Revoke() {
    for (DWORD cookie : cookies_)
        CoRevokeClassObject(cookie);
    cookies_.clear();
}

std::span<const K47InterfaceEntry> CSingleObjectFactory::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {K47Entry<CSingleObjectFactory, IClassFactory>()};
    static_assert(K47ValidTable(kTable));
    return kTable;
}

ComPtr<IClassFactory> CSingleObjectFactory::Create(IUnknown* object) {
    ComPtr<IUnknown> identity;
    CSingleObjectFactory* factory = nullptr;
    if (FAILED(K47CreateInstance<CSingleObjectFactory>(identity.GetAddressOf(), &factory)))
        return nullptr;
    factory->object_ = object;
    ComPtr<IClassFactory> result;
    identity.As(&result);
    return result;
}

HRESULT STDMETHODCALLTYPE CSingleObjectFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                               void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    return object_->QueryInterface(riid, ppv);
}

std::span<const K47InterfaceEntry> CRecordingCamera::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CRecordingCamera, IK47PTZCamera>(),
        K47Entry<CRecordingCamera, IK47Terminate>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

ComPtr<IUnknown> CRecordingCamera::Create(CRecordingCamera** object) {
    ComPtr<IUnknown> identity;
    CRecordingCamera* camera = nullptr;
    if (FAILED(K47CreateInstance<CRecordingCamera>(identity.GetAddressOf(), &camera)))
        return nullptr;
    if (object != nullptr)
        *object = camera;
    return identity;
}

void CRecordingCamera::SetResult(CameraCall::Kind kind, HRESULT result) {
    std::lock_guard<std::mutex> guard(lock_);
    results_[static_cast<int>(kind)] = result;
}

void CRecordingCamera::SetFunctions(PTZFUNCTION functions, ULONG presets) {
    std::lock_guard<std::mutex> guard(lock_);
    functions_ = functions;
    presets_ = presets;
}

std::vector<CameraCall> CRecordingCamera::Calls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

std::vector<CameraCall> CRecordingCamera::Calls(CameraCall::Kind kind) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<CameraCall> out;
    for (const auto& call : calls_)
        if (call.kind == kind)
            out.push_back(call);
    return out;
}

void CRecordingCamera::ClearCalls() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
}

bool CRecordingCamera::WaitFor(const std::function<bool(const std::vector<CameraCall>&)>& predicate,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(calls_); });
}

HRESULT CRecordingCamera::Record(CameraCall call) {
    call.at = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back(call);
    changed_.notify_all();
    return results_[static_cast<int>(call.kind)];
}

HRESULT STDMETHODCALLTYPE CRecordingCamera::MoveRelative(SHORT pan, SHORT tilt, SHORT zoom,
                                                         SHORT focus, SHORT iris) {
    CameraCall call{CameraCall::Kind::Move};
    call.pan = pan;
    call.tilt = tilt;
    call.zoom = zoom;
    call.focus = focus;
    call.iris = iris;
    return Record(call);
}

HRESULT STDMETHODCALLTYPE CRecordingCamera::Command(PTZCOMMAND cmd, INT_PTR arg) {
    CameraCall call{CameraCall::Kind::Command};
    call.value = static_cast<LONG>(cmd);
    call.arg = arg;
    return Record(call);
}

HRESULT STDMETHODCALLTYPE CRecordingCamera::StartRemoteSession(ULONG* pIpv4Addr, USHORT* pPort) {
    CameraCall call{CameraCall::Kind::StartSession};
    call.nullOutput = pIpv4Addr == nullptr || pPort == nullptr;
    HRESULT hr = Record(call);
    if (call.nullOutput)
        return E_POINTER;
    *pIpv4Addr = 0;
    *pPort = 0;
    return hr;
}

HRESULT STDMETHODCALLTYPE CRecordingCamera::MenuCommand(PTZMENUCOMMAND cmd) {
    CameraCall call{CameraCall::Kind::Menu};
    call.value = static_cast<LONG>(cmd);
    return Record(call);
}

HRESULT STDMETHODCALLTYPE CRecordingCamera::QueryFunctions(PTZFUNCTION* pFunc,
                                                           ULONG* pPresetCount) {
    CameraCall call{CameraCall::Kind::Query};
    call.nullOutput = pFunc == nullptr || pPresetCount == nullptr;
    HRESULT hr = Record(call);
    if (call.nullOutput)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    *pFunc = functions_;
    *pPresetCount = presets_;
    return hr;
}

HRESULT STDMETHODCALLTYPE CRecordingCamera::GetAddress(INT_PTR* pAddress) {
    CameraCall call{CameraCall::Kind::GetAddress};
    call.nullOutput = pAddress == nullptr;
    HRESULT hr = Record(call);
    if (call.nullOutput)
        return E_POINTER;
    *pAddress = 0;
    return hr;
}

HRESULT STDMETHODCALLTYPE CRecordingCamera::EndMotion() {
    return Record(CameraCall{CameraCall::Kind::EndMotion});
}

HRESULT STDMETHODCALLTYPE CRecordingCamera::Terminate(BOOL bShuttingDown) {
    CameraCall call{CameraCall::Kind::Terminate};
    call.value = bShuttingDown;
    return Record(call);
}

}  // namespace k47test
