// The example plug-in driver: Pelco-D on its own port, every call logged.
#include "ExamplePelcoDriver.h"

#include <cstdlib>
#include <new>
#include <string>

#include "common/K47Global.h"

std::atomic<LONG> CExamplePelcoDriver::s_live{0};

namespace {

constexpr INT_PTR kMenuPreset = 95;

BYTE Speed(SHORT value) {
    return static_cast<BYTE>((std::abs(static_cast<int>(value)) * 63 / 100) & 0x3F);
}

HRESULT LastErrorResult() {
    DWORD error = GetLastError();
    return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// One log line per call: what was asked and what it gave.
HRESULT Logged(HRESULT hr, const char* call, const std::string& arguments) {
    g_ErrorHandling.WriteLog("%s: %s(%s) = 0x%08x\n", CExamplePelcoDriver::kProgId, call,
                             arguments.c_str(), static_cast<unsigned>(hr));
    return hr;
}

std::string Numbers(std::initializer_list<long long> values) {
    std::string text;
    for (long long value : values) {
        if (!text.empty())
            text += ", ";
        text += std::to_string(value);
    }
    return text;
}

}  // namespace

CExamplePelcoDriver::CExamplePelcoDriver() {
    s_live.fetch_add(1, std::memory_order_relaxed);
}

CExamplePelcoDriver::~CExamplePelcoDriver() {
    s_live.fetch_sub(1, std::memory_order_acq_rel);
}

HRESULT CExamplePelcoDriver::Create(REFIID riid, void** ppv) {
    auto* driver = new (std::nothrow) CExamplePelcoDriver();
    if (driver == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = driver->QueryInterface(riid, ppv);
    driver->Release();  // the creation reference
    return hr;
}

HRESULT STDMETHODCALLTYPE CExamplePelcoDriver::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPTZ3PDriver)) {
        *ppv = static_cast<IPTZ3PDriver*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CExamplePelcoDriver::AddRef() {
    return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG STDMETHODCALLTYPE CExamplePelcoDriver::Release() {
    // acq_rel: the thread that deletes must see every other thread's last use of the object.
    ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
        delete this;
    return left;
}

// ---------------------------------------------------------------------------------------------
// Configuration

HRESULT STDMETHODCALLTYPE CExamplePelcoDriver::Reconfigure(IXMLDOMElement* pElement) {
    std::string port;
    HRESULT hr;
    {
        CK47ScopedLock lock(m_lock);
        m_port.Close();
        try {
            CXMLAttribute attributes(pElement);
            port = attributes.GetXMLAttributeString("COMPort", "");
            hr = port.empty() ? S_OK : OpenPort(pElement);
        } catch (const CExceptionBase& e) {
            hr = e.GetHresult();  // a malformed attribute: no exception leaves the driver
        }
    }
    return Logged(hr, "Reconfigure", port.empty() ? "no port" : port);
}

HRESULT CExamplePelcoDriver::OpenPort(IXMLDOMElement* pElement) {
    CXMLAttribute attributes(pElement);
    std::string name = attributes.GetXMLAttributeString("COMPort", "");
    DWORD baudRate = static_cast<DWORD>(attributes.GetXMLAttributeInt("BaudRate", CBR_9600));
    HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr)
        return LastErrorResult();
    m_port.Attach(port);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(m_port, &dcb))
        return LastErrorResult();
    dcb.BaudRate = baudRate;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(m_port, &dcb))
        return LastErrorResult();
    COMMTIMEOUTS timeouts{50, 50, 1000, 0, 0};
    if (!SetCommTimeouts(m_port, &timeouts))
        return LastErrorResult();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CExamplePelcoDriver::Terminate() {
    {
        CK47ScopedLock lock(m_lock);
        m_port.Close();
        m_cameras.clear();
    }
    return Logged(S_OK, "Terminate", "");
}

HRESULT STDMETHODCALLTYPE CExamplePelcoDriver::AddCamera(INT_PTR address,
                                                         IXMLDOMElement* /*pElement*/) {
    {
        CK47ScopedLock lock(m_lock);
        m_cameras.insert(address);
    }
    return Logged(S_OK, "AddCamera", Numbers({address}));
}

// ---------------------------------------------------------------------------------------------
// Control

HRESULT CExamplePelcoDriver::Send(INT_PTR address, BYTE command1, BYTE command2, BYTE data1,
                                  BYTE data2) {
    BYTE frame[7] = {0xFF, static_cast<BYTE>(address & 0xFF), command1, command2, data1, data2, 0};
    frame[6] = static_cast<BYTE>(frame[1] + frame[2] + frame[3] + frame[4] + frame[5]);
    if (!m_port.IsValid())
        return S_OK;
    PurgeComm(m_port, PURGE_RXCLEAR);
    DWORD written = 0;
    if (!WriteFile(m_port, frame, sizeof(frame), &written, nullptr))
        return LastErrorResult();
    return S_OK;
}

HRESULT CExamplePelcoDriver::SendMove(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom,
                                      SHORT focus, SHORT iris) {
    BYTE command1 = 0;
    BYTE command2 = 0;
    if (iris < 0)
        command1 = 0x04;
    if (iris > 0)
        command1 = 0x02;
    if (focus < 0)
        command1 |= 0x01;
    if (focus > 0)
        command2 = 0x80;
    if (zoom < 0)
        command2 |= 0x40;
    if (zoom > 0)
        command2 |= 0x20;
    if (tilt < 0)
        command2 |= 0x10;
    if (tilt > 0)
        command2 |= 0x08;
    if (pan < 0)
        command2 |= 0x04;
    if (pan > 0)
        command2 |= 0x02;
    return Send(address, command1, command2, Speed(pan), Speed(tilt));
}

HRESULT STDMETHODCALLTYPE CExamplePelcoDriver::MoveRelative(INT_PTR address, SHORT pan, SHORT tilt,
                                                            SHORT zoom, SHORT focus, SHORT iris) {
    HRESULT hr;
    {
        CK47ScopedLock lock(m_lock);
        hr = SendMove(address, pan, tilt, zoom, focus, iris);
    }
    return Logged(hr, "MoveRelative", Numbers({address, pan, tilt, zoom, focus, iris}));
}

HRESULT STDMETHODCALLTYPE CExamplePelcoDriver::Command(INT_PTR address, PTZCOMMAND cmd,
                                                       INT_PTR arg) {
    HRESULT hr;
    {
        CK47ScopedLock lock(m_lock);
        hr = Send(address, 0x00, static_cast<BYTE>(static_cast<uint32_t>(cmd) & 0xFF), 0x00,
                  static_cast<BYTE>(arg & 0xFF));
    }
    return Logged(hr, "Command", Numbers({address, cmd, arg}));
}

HRESULT STDMETHODCALLTYPE CExamplePelcoDriver::MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) {
    HRESULT hr = S_OK;
    {
        CK47ScopedLock lock(m_lock);
        SHORT pan = 0;
        SHORT tilt = 0;
        switch (cmd) {
            case PTZMENUCMD_OPEN:
                hr = Send(address, 0x00, PTZCMD_GOTOPRESET, 0x00, kMenuPreset);
                break;
            case PTZMENUCMD_UP:
                tilt = 100;
                break;
            case PTZMENUCMD_DOWN:
                tilt = -100;
                break;
            case PTZMENUCMD_LEFT:
                pan = -100;
                break;
            case PTZMENUCMD_RIGHT:
                pan = 100;
                break;
            default:
                hr = E_INVALIDARG;
                break;
        }
        if (pan != 0 || tilt != 0) {
            hr = SendMove(address, pan, tilt, 0, 0, 0);
            if (SUCCEEDED(hr))
                hr = SendMove(address, 0, 0, 0, 0, 0);
        }
    }
    return Logged(hr, "MenuCommand", Numbers({address, cmd}));
}

HRESULT STDMETHODCALLTYPE CExamplePelcoDriver::QueryFunctions(INT_PTR address, PTZFUNCTION* pFunc,
                                                              ULONG* pPresetCount) {
    HRESULT hr = E_POINTER;
    if (pFunc != nullptr && pPresetCount != nullptr) {
        *pFunc =
            static_cast<PTZFUNCTION>(PTZFUNC_MENUOPEN | PTZFUNC_MENUNAVIGATE | PTZFUNC_CLEARPRESET);
        *pPresetCount = 15;
        hr = S_OK;
    }
    return Logged(hr, "QueryFunctions", Numbers({address}));
}
