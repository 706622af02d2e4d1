// The serial port layer shared by the protocol drivers: configuration, camera creation and frame
// output.
#include "drivers/SerialPTZ.h"

#include <cstdio>
#include <string>

using Microsoft::WRL::ComPtr;

HRESULT STDMETHODCALLTYPE CSerialPTZ::Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                                 ULONG_PTR pInitData) {
    m_owner = pOwner;
    m_initData =
        reinterpret_cast<IUnknown*>(pInitData);  // adds a reference, drops the previous one
    return static_cast<IK47ObjectConfiguration*>(this)->Reconfigure(pElement);
}

HRESULT STDMETHODCALLTYPE CSerialPTZ::Reconfigure(IXMLDOMElement* pElement) {
    CK47ScopedLock lock(m_portLock);
    m_port.Close();
    return OpenAndSetUpPort(pElement);
}

HRESULT CSerialPTZ::OpenAndSetUpPort(IXMLDOMElement* pElement) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        CXMLAttribute attributes(pElement);
        // The getter without a default throws on an absent attribute, and an element without
        // "COMPort" must configure a driver without port; hence the empty default.
        std::string portName = attributes.GetXMLAttributeString("COMPort", "");
        if (portName.empty())
            return S_OK;  // nothing else is read: debug and driver settings stay

        DWORD baudRate = static_cast<DWORD>(attributes.GetXMLAttributeInt("BaudRate"));
        m_debug = attributes.GetXMLAttributeInt("Debug", 0) != 0;

        HANDLE port = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (port == nullptr || port == INVALID_HANDLE_VALUE)
            throw CWin32Error(__FILE__, __LINE__);
        m_port.Attach(port);

        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(m_port, &dcb))
            throw CWin32Error(__FILE__, __LINE__);
        dcb.BaudRate = baudRate;
        dcb.fParity = 0;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fNull = 0;
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;  // RS-485: RTS raised only while sending
        dcb.fAbortOnError = 0;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!SetCommState(m_port, &dcb))
            throw CWin32Error(__FILE__, __LINE__);

        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = kReadIntervalTimeout;
        timeouts.ReadTotalTimeoutMultiplier = kReadTotalTimeoutMultiplier;
        timeouts.ReadTotalTimeoutConstant = kReadTotalTimeoutConstant;
        timeouts.WriteTotalTimeoutMultiplier = 0;  // writes have no time limit
        timeouts.WriteTotalTimeoutConstant = 0;
        if (!SetCommTimeouts(m_port, &timeouts))
            throw CWin32Error(__FILE__, __LINE__);

        ReadDriverConfiguration(attributes);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CSerialPTZ::MakeDefault(IXMLDOMElement* /*pElement*/) {
    return E_NOTIMPL;
}

void CSerialPTZ::CreateCamera(BSTR name, IXMLDOMElement* pElement, REFCLSID clsid, IUnknown* pOuter,
                              IUnknown** ppCamera) {
    HRESULT hr = CoCreateInstance(clsid, pOuter, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(ppCamera));
    if (FAILED(hr))
        throw CHresultError(__FILE__, __LINE__, hr);

    // A host without a variable store is not an error: the camera then has no preset variable.
    ComPtr<IK47VariableStore> sink;
    if (m_owner != nullptr)
        m_owner->QueryInterface(IID_IK47VariableStore,
                                reinterpret_cast<void**>(sink.GetAddressOf()));
    CameraInitData record{name, sink.Get(), m_initData.Get()};

    ComPtr<IK47ObjectConfiguration> configuration;
    hr = (*ppCamera)->QueryInterface(IID_IK47ObjectConfiguration,
                                     reinterpret_cast<void**>(configuration.GetAddressOf()));
    if (FAILED(hr))
        throw CHresultError(__FILE__, __LINE__, hr);
    hr = configuration->Initialize(pElement, GetControllingUnknown(),
                                   reinterpret_cast<ULONG_PTR>(&record));
    if (FAILED(hr))
        throw CHresultError(__FILE__, __LINE__, hr);
}

bool CSerialPTZ::WriteFrame(const BYTE* frame, size_t length) {
    if (m_debug) {
        std::string text;
        text.reserve(length * 3);
        char piece[4];
        for (size_t i = 0; i < length; ++i) {
            std::snprintf(piece, sizeof(piece), "%02x ", frame[i]);
            text += piece;
        }
        g_ErrorHandling.WriteDebug("%s\n", text.c_str());
    }
    if (!m_port.IsValid())
        return false;
    // Whatever a camera sent before this frame is stale: an answer read after it must be its own.
    PurgeComm(m_port, PURGE_RXABORT | PURGE_RXCLEAR);
    DWORD written = 0;
    if (!WriteFile(m_port, frame, static_cast<DWORD>(length), &written, nullptr))
        throw CWin32Error(__FILE__, __LINE__);
    return true;
}

void CSerialPTZ::WriteFrameLocked(const BYTE* frame, size_t length, const char* file, int line) {
    CK47ScopedLock lock(m_portLock);
    try {
        WriteFrame(frame, length);
    } catch (const CExceptionBase& e) {
        K47LogHandled(e, file, line);
        throw;
    } catch (...) {
        K47LogUnhandled(file, line);
        throw;
    }
}
