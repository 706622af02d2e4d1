// The serial port layer shared by the protocol drivers: configuration, camera creation and frame
// output.
#include "drivers/SerialPTZ.h"

#include <atlbase.h>

#include <cstddef>
#include <cstdio>
#include <new>
#include <string>

using Microsoft::WRL::ComPtr;

HRESULT STDMETHODCALLTYPE CSerialPTZ::Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                                 ULONG_PTR pInitData) {
    m_owner = pOwner;
    m_initData =
        reinterpret_cast<IUnknown*>(pInitData);  // adds a reference, drops the previous one
    return static_cast<IK47ObjectConfiguration*>(this)->Reconfigure(pElement);
}

HRESULT CSerialPTZ::FinalConstruct() {
    m_reopenTimer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (m_reopenTimer == nullptr) {
        DWORD error = GetLastError();
        return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

void CSerialPTZ::FinalRelease() {
    try {
        Stop(INFINITE, nullptr);
    } catch (const CExceptionBase& e) {
        K47LogHandled(e, __FILE__, __LINE__);
    }
    if (m_reopenTimer != nullptr)
        CloseHandle(m_reopenTimer);
    m_reopenTimer = nullptr;
}

void CSerialPTZ::OnThreadInit() {
    const HANDLE handles[1] = {m_reopenTimer};
    const Handler handlers[1] = {&CSerialPTZ::OnReopenDue};
    SetWaitHandles(1, handles, handlers, INFINITE);
}

void CSerialPTZ::OnReopenDue(DWORD /*index*/) {
    CK47ScopedLock lock(m_portLock);
    if (m_lineState != LineState::kDown || m_port.IsValid() || TryReopen())
        CancelWaitableTimer(m_reopenTimer);  // up again, or reconfigured meanwhile
}

HRESULT STDMETHODCALLTYPE CSerialPTZ::Reconfigure(IXMLDOMElement* pElement) {
    CK47ScopedLock lock(m_portLock);
    if (m_reopenTimer != nullptr)
        CancelWaitableTimer(m_reopenTimer);
    m_port.Close();
    m_lineState = LineState::kUp;
    m_failedFrames = 0;
    {
        CK47ScopedLock status(m_statusLock);
        m_lastError.clear();  // errors of the previous configuration are no longer this line's
    }
    HRESULT hr = OpenAndSetUpPort(pElement);
    // A port that went missing has published its error already.
    if (FAILED(hr) && m_lineState != LineState::kDown) {
        // Operators read this in the status: words, and the system error number they can look up.
        std::string cause = "the line could not be set up";
        if (HRESULT_FACILITY(hr) == FACILITY_WIN32) {
            const DWORD code = HRESULT_CODE(hr);
            cause = K47ErrorText(code) + " (error " + std::to_string(code) + ")";
        }
        PublishLineState(m_port.IsValid()
                             ? "the port opened but refused the line's settings: " + cause
                             : "the Protocol element's settings could not be read: " + cause +
                                   "; the host's log names the attribute");
    } else {
        PublishLineState();
    }
    return hr;
}

void CSerialPTZ::PublishLineState(const std::string& error) {
    K47LINESTATE state = K47LINE_UP;
    if (m_portName.empty())
        state = K47LINE_NONE;
    else if (m_lineState == LineState::kDown)
        state = K47LINE_DOWN;
    else if (m_lineState == LineState::kStuck)
        state = K47LINE_STUCK;
    try {
        CK47ScopedLock lock(m_statusLock);
        m_publishedState = state;
        m_publishedDevice = m_portName;
        if (!error.empty())
            m_lastError = error;
    } catch (const std::bad_alloc&) {
        // The status keeps its previous text; the line itself is unaffected.
    }
}

HRESULT STDMETHODCALLTYPE CSerialPTZ::GetLineStatus(K47LINESTATE* pState, BSTR* pDevice,
                                                    BSTR* pLastError) {
    if (pState == nullptr || pDevice == nullptr || pLastError == nullptr)
        return E_POINTER;
    *pDevice = nullptr;
    *pLastError = nullptr;
    try {
        K47LINESTATE state;
        std::string device;
        std::string error;
        {
            CK47ScopedLock lock(m_statusLock);
            state = m_publishedState;
            device = m_publishedDevice;
            error = m_lastError;
        }
        *pDevice = SysAllocString(CA2W(device.c_str(), CP_UTF8));
        *pLastError = SysAllocString(CA2W(error.c_str(), CP_UTF8));
        if (*pDevice == nullptr || *pLastError == nullptr)
            throw std::bad_alloc();
        *pState = state;
        return S_OK;
    } catch (const std::bad_alloc&) {
        SysFreeString(*pDevice);
        SysFreeString(*pLastError);
        *pDevice = nullptr;
        *pLastError = nullptr;
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE CSerialPTZ::GetLineCounters(K47LINECOUNTERS* pCounters) {
    K47LINECOUNTERS all{};
    all.FramesWritten = m_counters.framesWritten.Get();
    all.BytesWritten = m_counters.bytesWritten.Get();
    all.MovesDropped = m_counters.movesDropped.Get();
    all.WriteFailures = m_counters.writeFailures.Get();
    all.WriteTimeouts = m_counters.writeTimeouts.Get();
    all.Reopens = m_counters.reopens.Get();
    return K47CopyCounterRecord(all, pCounters, offsetof(K47LINECOUNTERS, FramesWritten));
}

DWORD CSerialPTZ::WriteTimeoutPerByte(DWORD baudRate) noexcept {
    if (baudRate == 0)
        return 0;
    const ULONGLONG perByte =
        (ULONGLONG{kWriteTimeoutLineTimes} * kBitsPerCharacter * 1000 + baudRate - 1) / baudRate;
    return static_cast<DWORD>(perByte);
}

HRESULT CSerialPTZ::OpenAndSetUpPort(IXMLDOMElement* pElement) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        CXMLAttribute attributes(pElement);
        // The getter without a default throws on an absent attribute, and an element without
        // "COMPort" must configure a driver without port; hence the empty default.
        std::string portName = attributes.GetXMLAttributeString("COMPort", "");
        m_portName.clear();
        if (portName.empty())
            return S_OK;  // nothing else is read: debug and driver settings stay

        m_baudRate = static_cast<DWORD>(attributes.GetXMLAttributeInt("BaudRate"));
        m_debug = attributes.GetXMLAttributeInt("Debug", 0) != 0;
        m_portName = portName;
        m_elementName = attributes.GetXMLAttributeString("Name", "");
        try {
            OpenPort();
        } catch (const CWin32Error& e) {
            if (m_port.IsValid())
                throw;  // opened, but refused a setting: kept as it is
            // The device is not there (yet): the driver is set up all the same, and the port
            // is tried again when there is something to send.
            MarkLineDown(e.GetError());
            ReadDriverConfiguration(attributes);
            throw;
        }
        ReadDriverConfiguration(attributes);
        return S_OK;
    });
}

void CSerialPTZ::OpenPort() {
    HANDLE port = CreateFileA(m_portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == nullptr || port == INVALID_HANDLE_VALUE)
        throw CWin32Error(__FILE__, __LINE__);
    m_port.Attach(port);

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(m_port, &dcb))
        throw CWin32Error(__FILE__, __LINE__);
    dcb.BaudRate = m_baudRate;
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
    // Bounded writes: a far end that stalls must not hold the port lock, and with it every
    // camera of the line, the control service and shutdown, for ever.
    timeouts.WriteTotalTimeoutMultiplier = WriteTimeoutPerByte(m_baudRate);
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutConstantMs;
    if (!SetCommTimeouts(m_port, &timeouts))
        throw CWin32Error(__FILE__, __LINE__);
}

void CSerialPTZ::SetWriteBound(DWORD constantMs) {
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(m_port, &timeouts))
        return;  // the write that follows reports what is wrong with the port
    timeouts.WriteTotalTimeoutConstant = constantMs;
    SetCommTimeouts(m_port, &timeouts);
}

std::string CSerialPTZ::LineName() const {
    return "line \"" + m_elementName + "\" (" + m_portName + ")";
}

namespace {

// A device that is gone rather than a frame that failed: the line is tried again later.
bool LineGone(DWORD error) {
    switch (error) {
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_NOT_READY:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_INVALID_HANDLE:
            return true;
        default:
            return false;
    }
}

}  // namespace

void CSerialPTZ::MarkLineDown(DWORD error) {
    m_port.Close();
    m_lineState = LineState::kDown;
    m_failedFrames = 0;
    m_nextReopen = GetTickCount64() + kReopenIntervalMs;
    if (m_reopenTimer != nullptr) {
        // Tried on this beat even when no frame is due; a beat that finds the retry not yet due
        // (a call tried a moment ago) waits for the next one.
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(kReopenIntervalMs) * 10000 - 1000000;  // +100 ms
        SetWaitableTimer(m_reopenTimer, &due, static_cast<LONG>(kReopenIntervalMs), nullptr,
                         nullptr, FALSE);
        try {
            if (!IsRunning())
                Start();
        } catch (const CExceptionBase& e) {
            K47LogHandled(e, __FILE__, __LINE__);  // calls still reopen the line
        }
    }
    PublishLineState(K47ErrorText(error) + " (error " + std::to_string(error) + ")");
    g_ErrorHandling.WriteLog("%s is down: %s (error %lu); trying again every %llu s\n",
                             LineName().c_str(), K47ErrorText(error).c_str(),
                             static_cast<unsigned long>(error),
                             static_cast<unsigned long long>(kReopenIntervalMs / 1000));
}

bool CSerialPTZ::TryReopen() {
    const ULONGLONG now = GetTickCount64();
    if (now < m_nextReopen)
        return false;
    m_nextReopen = now + kReopenIntervalMs;
    try {
        OpenPort();
    } catch (const CWin32Error&) {
        m_port.Close();
        return false;  // still gone: said once already
    }
    g_ErrorHandling.WriteLog("%s is back; %lu frames were not sent while it was down\n",
                             LineName().c_str(), static_cast<unsigned long>(m_failedFrames));
    m_lineState = LineState::kUp;
    m_failedFrames = 0;
    m_counters.reopens.Add();
    PublishLineState();
    OnLineRestored();
    return m_port.IsValid();
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

    // Remembered so that a line coming back can stop every camera on it.
    ComPtr<IK47PTZCamera> camera;
    INT_PTR address = 0;
    if (SUCCEEDED((*ppCamera)->QueryInterface(IID_IK47PTZCamera,
                                              reinterpret_cast<void**>(camera.GetAddressOf()))) &&
        SUCCEEDED(camera->GetAddress(&address))) {
        CK47ScopedLock lock(m_portLock);
        m_addresses.insert(address);
    }
}

void CSerialPTZ::OnLineRestored() {
    for (INT_PTR address : m_addresses)
        static_cast<IK47PTZProtocol*>(this)->MoveRelative(address, 0, 0, 0, 0, 0);
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
    if (!m_port.IsValid()) {
        if (m_lineState != LineState::kDown)
            return false;  // no port configured
        if (!TryReopen()) {
            ++m_failedFrames;
            return false;
        }
    }
    // Whatever a camera sent before this frame is stale: an answer read after it must be its own.
    PurgeComm(m_port, PURGE_RXABORT | PURGE_RXCLEAR);
    // On a line known to be stuck each further frame gets a short bound, so the calls queued
    // behind it come back quickly; the first frame that goes out restores the full bound.
    if (m_lineState == LineState::kStuck)
        SetWriteBound(kStuckWriteTimeoutConstantMs);
    DWORD written = 0;
    if (!WriteFile(m_port, frame, static_cast<DWORD>(length), &written, nullptr)) {
        DWORD error = GetLastError();
        m_counters.writeFailures.Add();
        if (!LineGone(error)) {
            PublishLineState(K47ErrorText(error) + " (error " + std::to_string(error) + ")");
            throw CWin32Error(__FILE__, __LINE__, error);
        }
        MarkLineDown(error);
        ++m_failedFrames;
        return false;
    }
    if (written < length) {
        // The port gave up at the write bound and dropped what had not gone out.
        if (m_lineState != LineState::kStuck) {
            const unsigned long bound = static_cast<unsigned long>(
                WriteTimeoutPerByte(m_baudRate) * length + kWriteTimeoutConstantMs);
            g_ErrorHandling.WriteLog(
                "%s is stuck: a frame did not leave within %lu ms; frames time out until it "
                "flows again\n",
                LineName().c_str(), bound);
            m_lineState = LineState::kStuck;
            m_failedFrames = 0;
            PublishLineState("a frame did not leave within " + std::to_string(bound) + " ms");
        }
        ++m_failedFrames;
        m_counters.writeTimeouts.Add();
        throw CReportedError(__FILE__, __LINE__, ERROR_TIMEOUT);
    }
    m_counters.framesWritten.Add();
    m_counters.bytesWritten.Add(length);
    if (m_lineState == LineState::kStuck) {
        SetWriteBound(kWriteTimeoutConstantMs);
        g_ErrorHandling.WriteLog("%s flows again; %lu frames timed out\n", LineName().c_str(),
                                 static_cast<unsigned long>(m_failedFrames));
        m_lineState = LineState::kUp;
        m_failedFrames = 0;
        PublishLineState();
    }
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
