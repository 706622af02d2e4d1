// The camera wrapper: protocol binding through the host's object server.
#include "camera/PTZCamera.h"

#include <stdexcept>
#include <string>

#include "common/K47Global.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kLookupFailedLine = 42;
constexpr int kAddCameraFailedLine = 54;
constexpr int kReconfigureHandledLine = 56;
constexpr int kReconfigureUnhandledLine = 58;

// The query the host evaluates against its own document. The protocol name is inserted as it is:
// a name with a double quote gives a malformed query, which the host refuses.
constexpr char16_t kProtocolQueryHead[] = u"PTZProtocols/Protocol[@Name = \"";
constexpr char16_t kProtocolQueryTail[] = u"\"]";

}  // namespace

std::span<const K47InterfaceEntry> CPTZCameraWrapper::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CPTZCameraWrapper, IK47ObjectConfiguration>(),
        K47Entry<CPTZCameraWrapper, IK47Terminate>(),
        K47ForwardEntry(nullptr, &CPTZCameraWrapper::ForwardToCamera),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

HRESULT CPTZCameraWrapper::ForwardToCamera(void* self, REFIID riid, void** ppv) {
    ComPtr<IUnknown> camera = static_cast<CPTZCameraWrapper*>(self)->InnerCamera();
    if (!camera)
        return E_NOINTERFACE;
    return camera->QueryInterface(riid, ppv);
}

ComPtr<IUnknown> CPTZCameraWrapper::InnerCamera() {
    ObjectLock lock(*this);
    return m_innerCamera;
}

void CPTZCameraWrapper::SetInnerCamera(ComPtr<IUnknown> camera) {
    {
        ObjectLock lock(*this);
        m_innerCamera.Swap(camera);
    }
    // The previous camera (now in `camera`) is released here, outside the lock: its final release
    // stops its worker, which may take a while.
}

HRESULT STDMETHODCALLTYPE CPTZCameraWrapper::Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                                        ULONG_PTR pInitData) {
    BSTR name = reinterpret_cast<BSTR>(pInitData);
    if (name != m_cameraName.m_str) {
        BSTR copy = nullptr;
        if (name != nullptr) {
            copy =
                SysAllocStringByteLen(reinterpret_cast<const char*>(name), SysStringByteLen(name));
            if (copy == nullptr)
                return E_OUTOFMEMORY;
        }
        m_cameraName.Attach(copy);
    }
    m_owner = pOwner;
    return static_cast<IK47ObjectConfiguration*>(this)->Reconfigure(pElement);
}

HRESULT STDMETHODCALLTYPE CPTZCameraWrapper::Reconfigure(IXMLDOMElement* pElement) {
    return K47Guard(__FILE__, kReconfigureHandledLine, kReconfigureUnhandledLine, [&]() -> HRESULT {
        // The old camera object ends (its final release terminates it) before the new one is made.
        SetInnerCamera(nullptr);

        CXMLAttribute attributes(pElement);
        ComPtr<IK47ObjectServer> server;
        if (m_owner == nullptr ||
            FAILED(m_owner->QueryInterface(IID_IK47ObjectServer,
                                           reinterpret_cast<void**>(server.GetAddressOf())))) {
            g_ErrorHandling.WriteLog(
                "PTZCamera: the owner of camera configuration gives no object server\n");
            throw std::logic_error("owner without IK47ObjectServer");
        }

        ComPtr<IUnknown> object;
        try {
            std::u16string protocol = attributes.GetXMLAttributeStringW("Protocol");
            std::u16string query = kProtocolQueryHead + protocol + kProtocolQueryTail;
            CComBSTR bstrQuery;
            bstrQuery.Attach(SysAllocStringLen(query.data(), static_cast<UINT>(query.size())));
            if (!bstrQuery)
                throw CHresultError(__FILE__, kLookupFailedLine, E_OUTOFMEMORY);
            HRESULT hr = server->LookupObject(nullptr, bstrQuery, object.ReleaseAndGetAddressOf());
            if (FAILED(hr))
                throw CHresultError(__FILE__, kLookupFailedLine, hr);
        } catch (const CExceptionBase&) {
            // No protocol, or the host does not know it: ask the host what the camera's name
            // stands for and look that up instead. Nothing is logged; results are not checked.
            BSTR result = nullptr;
            server->GetObjectName(m_cameraName, &result);
            server->LookupObject(result, nullptr, object.ReleaseAndGetAddressOf());
            SysFreeString(result);
        }

        ComPtr<IK47PTZProtocol> driver;
        if (object && SUCCEEDED(object.As(&driver))) {
            HRESULT hr = AddCameraInto(driver.Get(), pElement);
            if (FAILED(hr))
                throw CHresultError(__FILE__, kAddCameraFailedLine, hr);
        }
        return S_OK;
    });
}

HRESULT CPTZCameraWrapper::AddCameraInto(IK47PTZProtocol* driver, IXMLDOMElement* pElement) {
    ComPtr<IUnknown> refused;
    HRESULT hr;
    {
        // The driver stores the camera into m_innerCamera as soon as it is created, before it
        // initialises it: a host that queries the camera's sink during that set-up already
        // reaches the camera through this wrapper. The lock is held throughout (it is recursive,
        // so queries on this thread pass): other threads' queries wait for a camera set up.
        ObjectLock lock(*this);
        hr = driver->AddCamera(m_cameraName, pElement, GetControllingUnknown(),
                               m_innerCamera.ReleaseAndGetAddressOf());
        if (FAILED(hr))
            refused.Swap(m_innerCamera);  // a camera the driver made but could not set up
    }
    return hr;  // `refused` ends here, outside the lock
}

HRESULT STDMETHODCALLTYPE CPTZCameraWrapper::MakeDefault(IXMLDOMElement* /*pElement*/) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CPTZCameraWrapper::Terminate(BOOL bShuttingDown) {
    ComPtr<IUnknown> camera = InnerCamera();
    ComPtr<IK47Terminate> terminate;
    if (camera && SUCCEEDED(camera.As(&terminate)))
        terminate->Terminate(bShuttingDown);
    return S_OK;
}

void CPTZCameraWrapper::FinalRelease() {
    SetInnerCamera(nullptr);
    m_cameraName.Empty();
}
