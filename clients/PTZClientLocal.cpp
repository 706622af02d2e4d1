// The local client: the camera found through the host's object server, motion repeated by a worker.
#include "clients/PTZClientLocal.h"

#include <new>

#include "common/K47Global.h"

using Microsoft::WRL::ComPtr;

std::span<const K47InterfaceEntry> CPTZClientLocal::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CPTZClientLocal, IK47PTZClient>(),
        K47ForwardEntry(&IID_IMarshal, &CPTZClientLocal::ForwardMarshal),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

HRESULT CPTZClientLocal::ForwardMarshal(void* self, REFIID riid, void** ppv) {
    auto* client = static_cast<CPTZClientLocal*>(self);
    if (!client->m_marshaler)
        return E_NOINTERFACE;
    return client->m_marshaler->QueryInterface(riid, ppv);
}

CPTZClientLocal::CPTZClientLocal() = default;

CPTZClientLocal::~CPTZClientLocal() = default;

HRESULT CPTZClientLocal::FinalConstruct() {
    return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), m_marshaler.GetAddressOf());
}

// The camera is not told to end the motion: it keeps the last speeds until its own time-out.
void CPTZClientLocal::FinalRelease() {
    try {
        Stop(INFINITE, nullptr);
    } catch (const CExceptionBase& e) {
        K47LogHandled(e, __FILE__, __LINE__);
    }
}

HRESULT STDMETHODCALLTYPE CPTZClientLocal::Connect(BSTR /*address*/, BSTR camera) {
    BSTR copy = nullptr;
    if (camera != nullptr) {
        copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(camera), SysStringByteLen(camera));
        if (copy == nullptr)
            return E_OUTOFMEMORY;
    }
    m_cameraName.Attach(copy);
    return S_OK;
}

void CPTZClientLocal::FindCamera(IK47ObjectServer** server, IK47PTZCamera** camera) {
    ComPtr<IK47ObjectServer> objectServer;
    HRESULT hr =
        CoCreateInstance(CLSID_K47ObjectServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IK47ObjectServer,
                         reinterpret_cast<void**>(objectServer.GetAddressOf()));
    if (FAILED(hr))
        throw CHresultError(__FILE__, __LINE__, hr);
    BSTR path = SysAllocString(OLESTR("PTZ"));
    if (path == nullptr)
        throw std::bad_alloc();  // the platform's, not the runtime library's
    ComPtr<IUnknown> found;
    hr = objectServer->LookupObject(m_cameraName.Get(), path, found.GetAddressOf());
    SysFreeString(path);
    if (FAILED(hr))
        throw CHresultError(__FILE__, __LINE__, hr);
    ComPtr<IK47PTZCamera> ptz;
    hr = found->QueryInterface(IID_IK47PTZCamera, reinterpret_cast<void**>(ptz.GetAddressOf()));
    if (FAILED(hr))
        throw CHresultError(__FILE__, __LINE__, hr);
    if (server != nullptr)
        *server = objectServer.Detach();
    if (camera != nullptr)
        *camera = ptz.Detach();
}

HRESULT STDMETHODCALLTYPE CPTZClientLocal::MoveRelative(SHORT pan, SHORT tilt, SHORT zoom,
                                                        SHORT focus, SHORT iris) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        if (!IsRunning()) {
            Stop(INFINITE, nullptr);  // a run that ended on its own leaves its thread handle
            // No worker runs: nobody else reads the speeds.
            m_pan = m_tilt = m_zoom = m_focus = m_iris = 0;
            Start();
            WaitUntilRunning(INFINITE);
            if (FAILED(GetExitCode()))
                throw CHresultError(__FILE__, __LINE__, GetExitCode());
        }
        CK47ScopedLock lock(m_speedLock);
        m_pan = pan;
        m_tilt = tilt;
        m_zoom = zoom;
        m_focus = focus;
        m_iris = iris;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPTZClientLocal::Command(PTZCOMMAND cmd, INT_PTR arg) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        ComPtr<IK47PTZCamera> camera;
        FindCamera(nullptr, camera.GetAddressOf());
        return camera->Command(cmd, arg);
    });
}

HRESULT STDMETHODCALLTYPE CPTZClientLocal::EndMotion() {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        {
            CK47ScopedLock lock(m_speedLock);
            m_pan = m_tilt = m_zoom = m_focus = m_iris = 0;
        }
        Stop(INFINITE, nullptr);
        ComPtr<IK47PTZCamera> camera;
        FindCamera(nullptr, camera.GetAddressOf());
        camera->MoveRelative(0, 0, 0, 0, 0);
        camera->EndMotion();
        return GetExitCode();
    });
}

HRESULT STDMETHODCALLTYPE CPTZClientLocal::MenuCommand(PTZMENUCOMMAND cmd) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        ComPtr<IK47PTZCamera> camera;
        FindCamera(nullptr, camera.GetAddressOf());
        return camera->MenuCommand(cmd);
    });
}

HRESULT STDMETHODCALLTYPE CPTZClientLocal::QueryFunctions(PTZFUNCTION* pFunc, ULONG* pPresetCount) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        ComPtr<IK47PTZCamera> camera;
        FindCamera(nullptr, camera.GetAddressOf());
        return camera->QueryFunctions(pFunc, pPresetCount);
    });
}

void CPTZClientLocal::OnThreadInit() {
    FindCamera(m_objectServer.ReleaseAndGetAddressOf(), m_camera.ReleaseAndGetAddressOf());
    m_motionTimer.Reset(CreateWaitableTimerA(nullptr, FALSE, nullptr));
    if (m_motionTimer.Get() == nullptr)
        throw CWin32Error(__FILE__, __LINE__);
    LARGE_INTEGER due;
    due.QuadPart = 0;  // signalled at once, then every period
    if (!SetWaitableTimer(m_motionTimer.Get(), &due, kTickPeriod, nullptr, nullptr, FALSE))
        throw CWin32Error(__FILE__, __LINE__);
    m_tickCount = 0;
    const HANDLE handles[1] = {m_motionTimer.Get()};
    const Handler handlers[1] = {&CPTZClientLocal::OnTick};
    SetWaitHandles(1, handles, handlers, INFINITE);
}

void CPTZClientLocal::OnThreadExit() {
    m_camera.Reset();
    m_objectServer.Reset();
    m_motionTimer.Close();
}

void CPTZClientLocal::OnTick(DWORD /*index*/) {
    K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        if (++m_tickCount >= kStatusCheckTicks) {
            m_tickCount = 0;
            // Anything but S_OK, a failed call to the server included, ends the run.
            if (m_objectServer->StatusCheck() != S_OK)
                SignalStop();
            return S_OK;
        }
        SHORT pan, tilt, zoom, focus, iris;
        {
            CK47ScopedLock lock(m_speedLock);
            pan = m_pan;
            tilt = m_tilt;
            zoom = m_zoom;
            focus = m_focus;
            iris = m_iris;
        }
        m_camera->MoveRelative(pan, tilt, zoom, focus, iris);
        return S_OK;
    });
}
