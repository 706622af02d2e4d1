// The plug-in driver wrapper: camera creation and pass-through to the supplied driver.
#include "drivers/PTZ3PWrapper.h"

#include "common/K47Global.h"

using Microsoft::WRL::ComPtr;

std::span<const K47InterfaceEntry> CPTZ3PWrapper::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CPTZ3PWrapper, IK47PTZProtocol>(),
        K47Entry<CPTZ3PWrapper, IK47ObjectConfiguration>(),
        K47Entry<CPTZ3PWrapper, IK47Terminate>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

ComPtr<IPTZ3PDriver> CPTZ3PWrapper::Driver() {
    Lock();
    ComPtr<IPTZ3PDriver> driver = m_driver;
    Unlock();
    return driver;
}

// ---------------------------------------------------------------------------------------------
// IK47ObjectConfiguration, IK47Terminate

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                                    ULONG_PTR pInitData) {
    const auto* record = reinterpret_cast<const PTZ3PInitData*>(pInitData);
    if (record == nullptr || record->driver == nullptr)
        return E_INVALIDARG;
    ComPtr<IPTZ3PDriver> driver = record->driver;
    ComPtr<IUnknown> cameraInitData = record->cameraInitData;
    Lock();
    m_owner = pOwner;
    m_driver.Swap(driver);
    m_cameraInitData.Swap(cameraInitData);
    Unlock();
    // The previous references (now in the locals) are released here, outside the lock.
    return static_cast<IK47ObjectConfiguration*>(this)->Reconfigure(pElement);
}

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::Reconfigure(IXMLDOMElement* pElement) {
    ComPtr<IPTZ3PDriver> driver = Driver();
    if (!driver)
        return E_UNEXPECTED;  // not initialised
    return K47Guard(__FILE__, __LINE__, __LINE__,
                    [&]() -> HRESULT { return driver->Reconfigure(pElement); });
}

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::MakeDefault(IXMLDOMElement* /*pElement*/) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::Terminate(BOOL /*bShuttingDown*/) {
    ComPtr<IPTZ3PDriver> driver = Driver();
    if (!driver)
        return E_UNEXPECTED;
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT { return driver->Terminate(); });
}

// ---------------------------------------------------------------------------------------------
// IK47PTZProtocol

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::AddCamera(BSTR name, IXMLDOMElement* pElement,
                                                   IUnknown* pOuterUnk, IUnknown** ppCamera) {
    ComPtr<IPTZ3PDriver> driver = Driver();
    if (!driver)
        return E_UNEXPECTED;
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        return CreateCamera(name, pElement, pOuterUnk, ppCamera, driver.Get());
    });
}

HRESULT CPTZ3PWrapper::CreateCamera(BSTR name, IXMLDOMElement* pElement, IUnknown* pOuterUnk,
                                    IUnknown** ppCamera, IPTZ3PDriver* driver) {
    HRESULT hr = CoCreateInstance(CLSID_PTZCameraStub, pOuterUnk, CLSCTX_INPROC_SERVER,
                                  IID_IUnknown, reinterpret_cast<void**>(ppCamera));
    if (FAILED(hr))
        return hr;

    IUnknown* owner = nullptr;
    ComPtr<IUnknown> cameraInitData;
    Lock();
    owner = m_owner;
    cameraInitData = m_cameraInitData;
    Unlock();

    // From here on *ppCamera keeps the camera whatever happens; the references below are
    // released on every way out by their holders.
    ComPtr<IK47VariableStore> sink;
    if (owner != nullptr)
        owner->QueryInterface(IID_IK47VariableStore, reinterpret_cast<void**>(sink.GetAddressOf()));
    CameraInitData record{name, sink.Get(), cameraInitData.Get()};

    {
        ComPtr<IK47ObjectConfiguration> configuration;
        hr = (*ppCamera)->QueryInterface(IID_IK47ObjectConfiguration,
                                         reinterpret_cast<void**>(configuration.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        hr = configuration->Initialize(pElement, GetControllingUnknown(),
                                       reinterpret_cast<ULONG_PTR>(&record));
        if (FAILED(hr))
            return hr;
    }

    INT_PTR address = 0;
    {
        ComPtr<IK47PTZCamera> camera;
        hr = (*ppCamera)->QueryInterface(IID_IK47PTZCamera,
                                         reinterpret_cast<void**>(camera.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        hr = camera->GetAddress(&address);
        if (FAILED(hr))
            return hr;
    }
    return driver->AddCamera(address, pElement);
}

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::MoveRelative(INT_PTR address, SHORT pan, SHORT tilt,
                                                      SHORT zoom, SHORT focus, SHORT iris) {
    ComPtr<IPTZ3PDriver> driver = Driver();
    if (!driver)
        return E_UNEXPECTED;
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        return driver->MoveRelative(address, pan, tilt, zoom, focus, iris);
    });
}

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) {
    ComPtr<IPTZ3PDriver> driver = Driver();
    if (!driver)
        return E_UNEXPECTED;
    return K47Guard(__FILE__, __LINE__, __LINE__,
                    [&]() -> HRESULT { return driver->Command(address, cmd, arg); });
}

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) {
    ComPtr<IPTZ3PDriver> driver = Driver();
    if (!driver)
        return E_UNEXPECTED;
    return K47Guard(__FILE__, __LINE__, __LINE__,
                    [&]() -> HRESULT { return driver->MenuCommand(address, cmd); });
}

HRESULT STDMETHODCALLTYPE CPTZ3PWrapper::QueryFunctions(INT_PTR address, PTZFUNCTION* pFunc,
                                                        ULONG* pPresetCount) {
    ComPtr<IPTZ3PDriver> driver = Driver();
    if (!driver)
        return E_UNEXPECTED;
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        return driver->QueryFunctions(address, pFunc, pPresetCount);
    });
}
