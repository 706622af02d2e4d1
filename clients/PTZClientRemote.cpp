// The remote client: session set-up through the control service, motion by datagrams.
#include "clients/PTZClientRemote.h"

#include <ws2tcpip.h>

#include <cstring>
#include <new>

#include "clients/ServerAddress.h"
#include "common/K47Global.h"
#include "webservice/SoapMSXMLInetClient.h"
#include "webservice/SoapSocketClient.h"
#include "webservice/VLTControl.h"
#include "webservice/VLTControlNamespace.h"
#include "webservice/ZEvtSyncSocket2.h"

using Microsoft::WRL::ComPtr;

namespace {

// A copy of a BSTR with its full byte length; null stays null.
BSTR CopyBstr(BSTR source) {
    if (source == nullptr)
        return nullptr;
    BSTR copy =
        SysAllocStringByteLen(reinterpret_cast<const char*>(source), SysStringByteLen(source));
    if (copy == nullptr)
        throw CHresultError(__FILE__, __LINE__, E_OUTOFMEMORY);
    return copy;
}

}  // namespace

std::span<const K47InterfaceEntry> CPTZClientRemote::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CPTZClientRemote, IK47PTZClient>(),
        K47ForwardEntry(&IID_IMarshal, &CPTZClientRemote::ForwardMarshal),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

HRESULT CPTZClientRemote::ForwardMarshal(void* self, REFIID riid, void** ppv) {
    auto* client = static_cast<CPTZClientRemote*>(self);
    if (!client->m_marshaler)
        return E_NOINTERFACE;
    return client->m_marshaler->QueryInterface(riid, ppv);
}

CPTZClientRemote::CPTZClientRemote() = default;

CPTZClientRemote::~CPTZClientRemote() {
    if (m_motionTimer != nullptr)
        CloseHandle(m_motionTimer);
    m_proxy.reset();
}

HRESULT CPTZClientRemote::FinalConstruct() {
    return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), m_marshaler.GetAddressOf());
}

void CPTZClientRemote::FinalRelease() {
    // A client released in the middle of a motion ends it: the worker's exit sends the datagram
    // once more, with zero speeds and the end flag, so the camera stops now rather than at its
    // time-out. Nothing is sent when no motion runs.
    {
        CK47ScopedLock lock(m_datagramLock);
        m_datagram.pan = m_datagram.tilt = m_datagram.zoom = m_datagram.focus = m_datagram.iris = 0;
        m_datagram.flags = K47MotionDatagram::kEndOfMotion;
    }
    try {
        Stop(INFINITE, nullptr);
    } catch (const CExceptionBase& e) {
        K47LogHandled(e, __FILE__, __LINE__);
    }
    CloseSocket();
}

void CPTZClientRemote::CloseSocket() {
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}

std::unique_ptr<IVLTControl> CPTZClientRemote::BuildProxy(BSTR address) {
    std::string text;
    if (address != nullptr)
        text = static_cast<LPSTR>(CW2A(address, CP_THREAD_ACP));
    K47ServerAddress parsed = K47ServerAddress::Parse(text);
    std::string endpoint = parsed.Compose(k47::vlt::kEndpointPath);
    try {
        if (parsed.scheme == "https") {
            auto proxy =
                std::make_unique<CVLTControlT<CSoapMSXMLInetClientNoCertError>>(endpoint.c_str());
            proxy->SetUseDefaultTimeouts(false);
            proxy->SetTimeouts(kResolveTimeout, kConnectTimeout, kSendTimeout, kReceiveTimeout);
            return proxy;
        }
        return std::make_unique<CVLTControlT<CK47SoapSocketClientT<ZEvtSyncSocket2>>>(
            endpoint.c_str());
    } catch (...) {
        throw CHresultError(__FILE__, __LINE__, E_OUTOFMEMORY);
    }
}

HRESULT STDMETHODCALLTYPE CPTZClientRemote::Connect(BSTR address, BSTR camera) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        static_cast<IK47PTZClient*>(this)
            ->EndMotion();  // a running motion ends at the old destination
        CloseSocket();
        m_serverAddress.Attach(CopyBstr(address));
        m_proxy.reset();
        m_proxy = BuildProxy(m_serverAddress);
        m_cameraName.Attach(CopyBstr(camera));

        unsigned int ipv4 = 0;
        unsigned short port = 0;
        HRESULT hr = m_proxy->StartRemoteSessionPTZ(m_cameraName, &ipv4, &port);
        if (FAILED(hr)) {
            // The log line says where the call failed (the transport's error state) and, for a
            // SOAP fault, what the server said.
            std::string detail = "control service: error state " +
                                 std::to_string(static_cast<int>(m_proxy->GetLastClientError()));
            std::u16string fault = m_proxy->GetLastFaultString();
            if (!fault.empty())
                detail +=
                    ", fault: " + std::string(static_cast<LPSTR>(CW2A(fault.c_str(), CP_UTF8)));
            throw CHresultError(__FILE__, __LINE__, hr, detail);
        }

        // The camera's host is the server's host; its address is resolved in every case.
        std::string text;
        if (m_serverAddress.m_str != nullptr)
            text = static_cast<LPSTR>(CW2A(m_serverAddress, CP_THREAD_ACP));
        K47ServerAddress parsed = K47ServerAddress::Parse(text);
        addrinfo hints;
        std::memset(&hints, 0, sizeof(hints));
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        addrinfo* result = nullptr;
        int error = getaddrinfo(parsed.host.c_str(), "0", &hints, &result);
        if (error != 0) {
            WSASetLastError(error);
            throw CWSAError(__FILE__, __LINE__);
        }
        std::unique_ptr<addrinfo, void (*)(addrinfo*)> results(result, freeaddrinfo);
        if (ipv4 == 0)
            ipv4 = ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
        m_destination = CK47SocketAddress::FromIpv4(ipv4, port);

        m_socket = WSASocketA(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, 0);
        if (m_socket == INVALID_SOCKET)
            throw CWSAError(__FILE__, __LINE__);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPTZClientRemote::MoveRelative(SHORT pan, SHORT tilt, SHORT zoom,
                                                         SHORT focus, SHORT iris) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        {
            CK47ScopedLock lock(m_datagramLock);
            m_datagram.pan = pan;
            m_datagram.tilt = tilt;
            m_datagram.zoom = zoom;
            m_datagram.focus = focus;
            m_datagram.iris = iris;
            m_datagram.flags = 0;
        }
        if (!IsRunning()) {
            Start();
            WaitUntilRunning(INFINITE);
            if (FAILED(GetExitCode()))
                throw CHresultError(__FILE__, __LINE__, GetExitCode());
        }
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPTZClientRemote::EndMotion() {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        {
            CK47ScopedLock lock(m_datagramLock);
            m_datagram.pan = m_datagram.tilt = m_datagram.zoom = m_datagram.focus =
                m_datagram.iris = 0;
            m_datagram.flags = K47MotionDatagram::kEndOfMotion;
        }
        Stop(INFINITE, nullptr);  // the stopped worker sends the last datagram
        return GetExitCode();
    });
}

// Without a session (no Connect yet, or one that failed before the proxy existed) there is no
// service to ask: the call fails as "not connected".
HRESULT STDMETHODCALLTYPE CPTZClientRemote::Command(PTZCOMMAND cmd, INT_PTR arg) {
    if (!m_proxy)
        return CO_E_OBJNOTCONNECTED;
    return m_proxy->PtzCommand(m_cameraName, static_cast<int>(cmd), static_cast<int>(arg));
}

HRESULT STDMETHODCALLTYPE CPTZClientRemote::MenuCommand(PTZMENUCOMMAND cmd) {
    if (!m_proxy)
        return CO_E_OBJNOTCONNECTED;
    return m_proxy->PtzMenuCommand(m_cameraName, static_cast<int>(cmd));
}

HRESULT STDMETHODCALLTYPE CPTZClientRemote::QueryFunctions(PTZFUNCTION* pFunc,
                                                           ULONG* pPresetCount) {
    if (!m_proxy)
        return CO_E_OBJNOTCONNECTED;
    static_assert(sizeof(PTZFUNCTION) == sizeof(unsigned int) &&
                  sizeof(ULONG) == sizeof(unsigned int));
    return m_proxy->PtzQueryFunctions(m_cameraName, reinterpret_cast<unsigned int*>(pFunc),
                                      reinterpret_cast<unsigned int*>(pPresetCount));
}

void CPTZClientRemote::OnThreadInit() {
    if (m_motionTimer != nullptr)
        CloseHandle(m_motionTimer);
    m_motionTimer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (m_motionTimer == nullptr)
        throw CWin32Error(__FILE__, __LINE__);
    LARGE_INTEGER due;
    due.QuadPart = 0;  // in the past: the first datagram goes at once
    if (!SetWaitableTimer(m_motionTimer, &due, kSendPeriod, nullptr, nullptr, FALSE))
        throw CWin32Error(__FILE__, __LINE__);
    const HANDLE handles[1] = {m_motionTimer};
    const Handler handlers[1] = {&CPTZClientRemote::SendDatagram};
    SetWaitHandles(1, handles, handlers, INFINITE);
}

void CPTZClientRemote::OnThreadExit() {
    if (m_motionTimer != nullptr) {
        CloseHandle(m_motionTimer);
        m_motionTimer = nullptr;
    }
    SendDatagram(0);
}

void CPTZClientRemote::SendDatagram(DWORD /*index*/) {
    CK47ScopedLock lock(m_datagramLock);
    ++m_datagram.sequence;  // wraps from 65535 to 0
    uint8_t bytes[K47MotionDatagram::kSize];
    m_datagram.Encode(bytes);
    WSABUF buffer{static_cast<ULONG>(sizeof(bytes)), reinterpret_cast<CHAR*>(bytes)};
    DWORD sent = 0;
    // A failed send, no socket or no destination cost nothing but this datagram.
    WSASendTo(m_socket, &buffer, 1, &sent, 0, m_destination.Get(), m_destination.Length(), nullptr,
              nullptr);
}
