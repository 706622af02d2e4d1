// The recording driver and the stand-in camera.
#include "tests/support/RecordingDriver.h"

#include <atlbase.h>

#include "common/K47Global.h"
#include "tests/support/FakeHost.h"

using Microsoft::WRL::ComPtr;

namespace k47test {

std::span<const K47InterfaceEntry> CRecordingDriver::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {K47Entry<CRecordingDriver, IK47PTZProtocol>()};
    static_assert(K47ValidTable(kTable));
    return kTable;
}

ComPtr<IK47PTZProtocol> CRecordingDriver::Create(CRecordingDriver** object) {
    ComPtr<IUnknown> identity;
    if (FAILED(K47CreateInstance<CRecordingDriver>(identity.GetAddressOf(), object)))
        return nullptr;
    return ComPtr<IK47PTZProtocol>(static_cast<IK47PTZProtocol*>(*object));
}

void CRecordingDriver::SetOwner(IUnknown* owner) {
    std::lock_guard<std::mutex> guard(lock_);
    owner_ = owner;
}

void CRecordingDriver::SetPortService(IUnknown* portService) {
    std::lock_guard<std::mutex> guard(lock_);
    port_service_ = portService;
}

void CRecordingDriver::SetCameraFactory(CameraFactory factory) {
    std::lock_guard<std::mutex> guard(lock_);
    factory_ = std::move(factory);
}

void CRecordingDriver::SetResult(DriverCall::Kind kind, HRESULT result) {
    std::lock_guard<std::mutex> guard(lock_);
    results_[static_cast<int>(kind)] = result;
}

void CRecordingDriver::SetFunctions(PTZFUNCTION functions, ULONG presets) {
    std::lock_guard<std::mutex> guard(lock_);
    functions_ = functions;
    presets_ = presets;
}

void CRecordingDriver::SetCallHook(std::function<void(const DriverCall&)> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    hook_ = std::move(hook);
}

std::vector<DriverCall> CRecordingDriver::Calls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

std::vector<DriverCall> CRecordingDriver::Calls(DriverCall::Kind kind) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<DriverCall> result;
    for (const auto& call : calls_)
        if (call.kind == kind)
            result.push_back(call);
    return result;
}

size_t CRecordingDriver::Count(DriverCall::Kind kind) const {
    return Calls(kind).size();
}

size_t CRecordingDriver::StopCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (const auto& call : calls_)
        if (call.IsStop())
            ++n;
    return n;
}

void CRecordingDriver::ClearCalls() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
}

bool CRecordingDriver::WaitFor(const std::function<bool(const std::vector<DriverCall>&)>& predicate,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return predicate(calls_); });
}

bool CRecordingDriver::WaitForStops(size_t count, std::chrono::milliseconds timeout) const {
    return WaitFor(
        [count](const std::vector<DriverCall>& calls) {
            size_t n = 0;
            for (const auto& call : calls)
                if (call.IsStop())
                    ++n;
            return n >= count;
        },
        timeout);
}

HRESULT CRecordingDriver::Record(DriverCall call) {
    call.at = std::chrono::steady_clock::now();
    std::function<void(const DriverCall&)> hook;
    HRESULT result;
    {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(call);
        result = results_[static_cast<int>(call.kind)];
        hook = hook_;
    }
    changed_.notify_all();
    if (hook)
        hook(call);
    return result;
}

HRESULT STDMETHODCALLTYPE CRecordingDriver::AddCamera(BSTR name, IXMLDOMElement* pElement,
                                                      IUnknown* pOuterUnk, IUnknown** ppCamera) {
    if (ppCamera == nullptr)
        return E_POINTER;
    *ppCamera = nullptr;
    DriverCall call{DriverCall::Kind::AddCamera};
    call.name = BstrText(name);
    HRESULT scripted = Record(call);
    if (FAILED(scripted))
        return scripted;
    CameraFactory factory;
    IUnknown* owner;
    ComPtr<IUnknown> portService;
    {
        std::lock_guard<std::mutex> guard(lock_);
        factory = factory_;
        owner = owner_;
        portService = port_service_;
    }
    IUnknown* self = static_cast<IK47PTZProtocol*>(this);
    if (factory)
        return factory(name, pElement, pOuterUnk, self, ppCamera);
    return CreateRealCamera(name, pElement, pOuterUnk, self, owner, portService.Get(), ppCamera);
}

HRESULT STDMETHODCALLTYPE CRecordingDriver::MoveRelative(INT_PTR address, SHORT pan, SHORT tilt,
                                                         SHORT zoom, SHORT focus, SHORT iris) {
    DriverCall call{DriverCall::Kind::Move, address, pan, tilt, zoom, focus, iris};
    return Record(call);
}

HRESULT STDMETHODCALLTYPE CRecordingDriver::Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) {
    DriverCall call{DriverCall::Kind::Command, address};
    call.command = cmd;
    call.arg = arg;
    return Record(call);
}

HRESULT STDMETHODCALLTYPE CRecordingDriver::MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) {
    DriverCall call{DriverCall::Kind::Menu, address};
    call.command = cmd;
    return Record(call);
}

HRESULT STDMETHODCALLTYPE CRecordingDriver::QueryFunctions(INT_PTR address, PTZFUNCTION* pFunc,
                                                           ULONG* pPresetCount) {
    DriverCall call{DriverCall::Kind::Query, address};
    HRESULT result = Record(call);
    std::lock_guard<std::mutex> guard(lock_);
    if (pFunc != nullptr)
        *pFunc = functions_;
    if (pPresetCount != nullptr)
        *pPresetCount = presets_;
    return result;
}

void CRecordingDriver::FinalRelease() {
    std::lock_guard<std::mutex> guard(lock_);
    port_service_.Reset();
    factory_ = nullptr;
    hook_ = nullptr;
}

HRESULT CreateRealCamera(BSTR name, IXMLDOMElement* element, IUnknown* outer, IUnknown* driver,
                         IUnknown* owner, IUnknown* portService, IUnknown** inner) {
    // As the product's drivers do: the camera goes into the caller's field as soon as it exists,
    // and stays there even when its set-up fails.
    HRESULT hr = CoCreateInstance(CLSID_PTZCameraStub, outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(inner));
    if (FAILED(hr))
        return hr;
    ComPtr<IK47VariableStore> sink;
    if (owner != nullptr)
        owner->QueryInterface(IID_IK47VariableStore, reinterpret_cast<void**>(sink.GetAddressOf()));
    CameraInitData record{name, sink.Get(), portService};
    ComPtr<IK47ObjectConfiguration> configuration;
    hr = (*inner)->QueryInterface(IID_IK47ObjectConfiguration,
                                  reinterpret_cast<void**>(configuration.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    return configuration->Initialize(element, driver, reinterpret_cast<ULONG_PTR>(&record));
}

// ---------------------------------------------------------------------------------------------
// The stand-in camera

namespace {

class CFakeCamera : public CK47ComObjectRoot, public IK47PTZCamera, public IK47Terminate {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {
            K47Entry<CFakeCamera, IK47PTZCamera>(),
            K47Entry<CFakeCamera, IK47Terminate>(),
        };
        static_assert(K47ValidTable(kTable));
        return kTable;
    }

    void Setup(std::shared_ptr<FakeCameraRecord> record, INT_PTR address, std::u16string name) {
        record_ = std::move(record);
        address_ = address;
        std::lock_guard<std::mutex> guard(record_->lock);
        ++record_->alive;
        ++record_->created;
        record_->names.push_back(std::move(name));
    }
    void FinalRelease() {
        if (!record_)
            return;
        std::lock_guard<std::mutex> guard(record_->lock);
        --record_->alive;
    }

    HRESULT STDMETHODCALLTYPE MoveRelative(SHORT, SHORT, SHORT, SHORT, SHORT) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND, INT_PTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE StartRemoteSession(ULONG*, USHORT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION*, ULONG*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetAddress(INT_PTR* pAddress) override {
        *pAddress = address_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EndMotion() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Terminate(BOOL) override {
        std::lock_guard<std::mutex> guard(record_->lock);
        ++record_->terminated;
        return S_OK;
    }

  protected:
    CFakeCamera() = default;
    ~CFakeCamera() = default;

  private:
    std::shared_ptr<FakeCameraRecord> record_;
    INT_PTR address_ = 0;
};

}  // namespace

CameraFactory FakeCameraFactory(std::shared_ptr<FakeCameraRecord> record) {
    return [record](BSTR name, IXMLDOMElement* element, IUnknown* outer, IUnknown*,
                    IUnknown** inner) -> HRESULT {
        INT_PTR address = 0;
        if (element != nullptr) {
            try {
                address = CXMLAttribute(element).GetXMLAttributeInt("Address", 0);
            } catch (const CExceptionBase& e) {
                return e.GetHresult();
            }
        }
        if (outer == nullptr)
            return E_INVALIDARG;
        ComPtr<IUnknown> camera;
        HRESULT hr = K47CreateObject<CFakeCamera>(outer, IID_IUnknown,
                                                  reinterpret_cast<void**>(camera.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        // Reach the contained object through its interface to record who it is.
        ComPtr<IK47PTZCamera> itf;
        hr =
            camera->QueryInterface(IID_IK47PTZCamera, reinterpret_cast<void**>(itf.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        static_cast<CFakeCamera*>(itf.Get())->Setup(record, address, BstrText(name));
        itf.Reset();
        *inner = camera.Detach();
        return S_OK;
    };
}

}  // namespace k47test
