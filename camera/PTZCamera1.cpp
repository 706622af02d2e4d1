// The camera object: control calls, motion time-out and stop repetition, preset variable, and the
// datagram listener of remote sessions.
#include "camera/PTZCamera1.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

#include "common/K47Global.h"
#include "common/MotionDatagram.h"

using Microsoft::WRL::ComPtr;

namespace {

// The handlers' fixed line numbers (file "PTZCamera1").
constexpr int kTerminateHandledLine = 53;
constexpr int kTerminateUnhandledLine = 55;
constexpr int kAllocatePortLine = 101;
constexpr int kSocketLine = 107;
constexpr int kBindLine = 112;
constexpr int kEventSelectLine = 122;
constexpr int kStartSessionHandledLine = 123;
constexpr int kStartSessionUnhandledLine = 126;
constexpr int kReconfigureHandledLine = 193;
constexpr int kReconfigureUnhandledLine = 195;

constexpr char16_t kPresetVariablePrefix[] = u"PTZPreset.";

}  // namespace

std::span<const K47InterfaceEntry> CPTZCamera::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CPTZCamera, IK47PTZCamera>(),    K47Entry<CPTZCamera, IK47ObjectConfiguration>(),
        K47Entry<CPTZCamera, IK47EventSink>(),    K47Entry<CPTZCamera, IK47Terminate>(),
        K47Entry<CPTZCamera, IK47CameraStatus>(), K47Entry<CPTZCamera, IK47CameraCounters>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

CPTZCamera::CPTZCamera() {
    m_datagramEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_datagramEvent == nullptr)
        throw CWin32Error(__FILE__, __LINE__);
}

CPTZCamera::~CPTZCamera() {
    if (m_datagramEvent != nullptr)
        CloseHandle(m_datagramEvent);
    if (m_motionTimer != nullptr)
        CloseHandle(m_motionTimer);
    // The remaining members (variable, peer, port service, driver, lock, socket-library reference)
    // are released by their own destructors, then the worker framework's.
}

HRESULT CPTZCamera::FinalConstruct() {
    m_motionTimer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (m_motionTimer == nullptr) {
        DWORD error = GetLastError();
        return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

void CPTZCamera::FinalRelease() {
    static_cast<IK47Terminate*>(this)->Terminate(FALSE);
}

void CPTZCamera::ArmTimer(LONGLONG dueTime) {
    LARGE_INTEGER due;
    due.QuadPart = dueTime;
    m_repeatBeat.store(dueTime == kStopRepeatInterval, std::memory_order_relaxed);
    m_timerPending.store(true, std::memory_order_release);
    SetWaitableTimer(m_motionTimer, &due, 0, nullptr, nullptr, FALSE);
}

void CPTZCamera::CancelTimer() {
    m_timerPending.store(false, std::memory_order_release);
    m_stopRepeats = 0;
    CancelWaitableTimer(m_motionTimer);
}

bool CPTZCamera::StopBeforeOwnMove() {
    // Called with m_lock held, before a command that moves the camera itself (a preset, a menu
    // step). A motion still guarded by the timer is ended here, as the timer would have ended
    // it: one stop, and the session is free for the next client. Only then is the timer
    // cancelled, so the command's own move is not cut short and no motion is left unguarded.
    if (!m_timerPending.load(std::memory_order_acquire))
        return false;
    SendOwnStop();
    m_releaseSession.store(true, std::memory_order_release);
    CancelTimer();
    return true;
}

void CPTZCamera::SendOwnStop() {
    m_counters.stopsSent.Add();
    m_driver->MoveRelative(m_address, 0, 0, 0, 0, 0);  // the answer does not matter
}

void CPTZCamera::NoteCall(K47CAMERACALL kind, int code) noexcept {
    constexpr uint64_t kTimeMask = (uint64_t{1} << 40) - 1;
    const uint64_t call = (uint64_t{static_cast<uint8_t>(kind)} << 56) |
                          (uint64_t{static_cast<uint16_t>(code)} << 40) |
                          (GetTickCount64() & kTimeMask);
    m_lastCall.store(call, std::memory_order_relaxed);
}

HRESULT STDMETHODCALLTYPE CPTZCamera::GetCameraCounters(K47CAMERACOUNTERS* pCounters) {
    K47CAMERACOUNTERS all{};
    all.MovesSent = m_counters.movesSent.Get();
    all.StopsSent = m_counters.stopsSent.Get();
    all.DeadManStops = m_counters.deadManStops.Get();
    all.RepeatedStops = m_counters.repeatedStops.Get();
    all.DatagramsAccepted = m_counters.datagramsAccepted.Get();
    all.DatagramsStale = m_counters.datagramsStale.Get();
    all.DatagramsForeign = m_counters.datagramsForeign.Get();
    all.DatagramsMalformed = m_counters.datagramsMalformed.Get();
    all.SessionsStarted = m_counters.sessionsStarted.Get();
    const uint64_t call = m_lastCall.load(std::memory_order_relaxed);
    all.LastCommand = (call >> 56) << 16 | ((call >> 40) & 0xFFFF);
    all.LastCommandTime = call & ((uint64_t{1} << 40) - 1);
    return K47CopyCounterRecord(all, pCounters, offsetof(K47CAMERACOUNTERS, MovesSent));
}

bool CPTZCamera::MovesTheCamera(PTZCOMMAND cmd) {
    return cmd == PTZCMD_GOTOPRESET;
}

// ---------------------------------------------------------------------------------------------
// IK47PTZCamera

HRESULT STDMETHODCALLTYPE CPTZCamera::MoveRelative(SHORT pan, SHORT tilt, SHORT zoom, SHORT focus,
                                                   SHORT iris) {
    CK47ScopedLock lock(m_lock);
    if (!m_driver)
        return E_UNEXPECTED;  // not initialised
    // Armed before the driver call: a driver that blocks must not keep the stop from coming.
    ArmTimer(kMotionTimeout);
    const bool stop = pan == 0 && tilt == 0 && zoom == 0 && focus == 0 && iris == 0;
    NoteCall(stop ? K47CALL_STOP : K47CALL_MOVE);
    (stop ? m_counters.stopsSent : m_counters.movesSent).Add();
    return m_driver->MoveRelative(m_address, pan, tilt, zoom, focus, iris);
}

HRESULT STDMETHODCALLTYPE CPTZCamera::Command(PTZCOMMAND cmd, INT_PTR arg) {
    CK47ScopedLock lock(m_lock);
    if (!m_driver)
        return E_UNEXPECTED;
    // A preset move must not be cut short by a pending motion time-out, but it must not strand a
    // motion either. Any other command (an auto mode, setting a preset) leaves the timer as it
    // was: the time-out and the repeated stops still end the motion they guard.
    NoteCall(K47CALL_COMMAND, cmd);
    if (MovesTheCamera(cmd))
        StopBeforeOwnMove();
    return m_driver->Command(m_address, cmd, arg);
}

HRESULT STDMETHODCALLTYPE CPTZCamera::MenuCommand(PTZMENUCOMMAND cmd) {
    CK47ScopedLock lock(m_lock);
    if (!m_driver)
        return E_UNEXPECTED;
    NoteCall(K47CALL_MENU, cmd);
    StopBeforeOwnMove();  // a menu step moves the camera (or its cursor) itself
    return m_driver->MenuCommand(m_address, cmd);
}

HRESULT STDMETHODCALLTYPE CPTZCamera::QueryFunctions(PTZFUNCTION* pFunc, ULONG* pPresetCount) {
    CK47ScopedLock lock(m_lock);
    if (!m_driver)
        return E_UNEXPECTED;
    return m_driver->QueryFunctions(m_address, pFunc, pPresetCount);
}

HRESULT STDMETHODCALLTYPE CPTZCamera::GetAddress(INT_PTR* pAddress) {
    *pAddress = m_address;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CPTZCamera::GetSessionOwner(ULONG* pIpv4Addr, USHORT* pPort) {
    if (pIpv4Addr == nullptr || pPort == nullptr)
        return E_POINTER;
    const uint64_t owner = m_owner.load(std::memory_order_acquire);
    *pIpv4Addr = static_cast<ULONG>(owner >> 16);
    *pPort = static_cast<USHORT>(owner);
    return (owner & kOwnerPresent) != 0 ? S_OK : S_FALSE;
}

void CPTZCamera::PublishOwner() noexcept {
    uint64_t owner = 0;
    if (!m_peer.Empty() && m_peer.Length() >= static_cast<int>(sizeof(sockaddr_in)) &&
        m_peer.Get()->sa_family == AF_INET) {
        const auto* peer = reinterpret_cast<const sockaddr_in*>(m_peer.Get());
        owner =
            kOwnerPresent | (uint64_t{ntohl(peer->sin_addr.s_addr)} << 16) | ntohs(peer->sin_port);
    }
    m_owner.store(owner, std::memory_order_release);
}

HRESULT STDMETHODCALLTYPE CPTZCamera::EndMotion() {
    CK47ScopedLock lock(m_lock);
    NoteCall(K47CALL_ENDMOTION);
    m_stopRepeats = kStopRepeats;
    ArmTimer(kStopRepeatInterval);
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// The worker

void CPTZCamera::OnThreadInit() {
    const HANDLE handles[2] = {m_datagramEvent, m_motionTimer};
    const Handler handlers[2] = {&CPTZCamera::OnDatagram, &CPTZCamera::OnMotionTimer};
    SetWaitHandles(2, handles, handlers, INFINITE);
}

void CPTZCamera::OnMotionTimer(DWORD /*index*/) {
    CK47ScopedLock lock(m_lock);
    // Cancelled after it fell due (a preset move took over): nothing to stop.
    if (!m_timerPending.exchange(false, std::memory_order_acq_rel))
        return;
    if (m_driver) {
        SendOwnStop();
        (m_repeatBeat.load(std::memory_order_relaxed) ? m_counters.repeatedStops
                                                      : m_counters.deadManStops)
            .Add();
    }
    // Whoever owned the datagram session has lost it; any sender may take the camera over.
    m_lastSequence = 0;
    m_peer.Clear();
    PublishOwner();
    if (m_stopRepeats > 0) {
        --m_stopRepeats;
        ArmTimer(kStopRepeatInterval);
    }
}

void CPTZCamera::OnDatagram(DWORD /*index*/) {
    // A driver call may take several frame times on a busy line while the client goes on sending
    // ten datagrams a second. Everything waiting is judged in arrival order, as one receive per
    // wake-up would, but only the newest accepted move reaches the driver: a superseded move is
    // stale by the time it could go out, and playing the backlog would hold a stop up behind it.
    IK47PTZCamera* camera = this;
    // A preset move ended the session of the motion it replaced: any sender may take over.
    if (m_releaseSession.exchange(false, std::memory_order_acq_rel)) {
        m_lastSequence = 0;
        m_peer.Clear();
        PublishOwner();
    }
    std::optional<K47MotionDatagram> move;
    DWORD receives = 0;
    while (receives < kDatagramBatch) {
        ++receives;
        uint8_t buffer[K47MotionDatagram::kSize];
        WSABUF wsaBuffer{static_cast<ULONG>(sizeof(buffer)), reinterpret_cast<CHAR*>(buffer)};
        DWORD received = 0;
        DWORD flags = 0;
        sockaddr_in from;  // a 16-byte sender address buffer
        int fromLength = sizeof(from);
        int result = WSARecvFrom(m_socket, &wsaBuffer, 1, &received, &flags,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength, nullptr, nullptr);
        int error = 0;
        if (result != 0) {
            // A longer datagram (cut) or an ICMP reset costs one datagram; anything else, the
            // empty queue (WSAEWOULDBLOCK: the socket is non-blocking since WSAEventSelect)
            // among them, ends the batch.
            error = WSAGetLastError();
            if (error != WSAEMSGSIZE && error != WSAECONNRESET)
                break;
        }
        // A longer datagram fails the receive; a shorter one has the wrong count. Either is
        // dropped, as is one from a sender other than the session's owner.
        CK47SocketAddress sender = CK47SocketAddress::FromBytes(&from, fromLength);
        K47DatagramVerdict verdict = K47JudgeDatagram(result == 0, buffer, received, m_peer.Empty(),
                                                      sender == m_peer, m_lastSequence);
        if (!verdict.renew) {
            // An ICMP reset is no datagram at all; a cut one is of the wrong size.
            if (result == 0 || error == WSAEMSGSIZE)
                (verdict.foreign ? m_counters.datagramsForeign : m_counters.datagramsMalformed)
                    .Add();
            continue;
        }
        if (verdict.takeOwnership) {
            m_counters.sessionsStarted.Add();
            m_peer = std::move(sender);
            PublishOwner();
        }
        // The owner keeps the session and the motion alive for as long as it keeps sending.
        ArmTimer(kMotionTimeout);
        if (!verdict.accept) {
            m_counters.datagramsStale.Add();
            continue;  // a repeated or older datagram
        }
        m_counters.datagramsAccepted.Add();
        m_lastSequence = static_cast<SHORT>(verdict.datagram.sequence);
        if (verdict.datagram.EndOfMotion()) {
            // In its place: a move before it is dropped, one after it follows it.
            move.reset();
            camera->EndMotion();
        } else {
            move = verdict.datagram;
        }
    }
    if (move)
        camera->MoveRelative(move->pan, move->tilt, move->zoom, move->focus, move->iris);
    // The datagram event comes first in the wait set, and a receive that sees more datagrams
    // signals it again: while a sender keeps the socket busy the motion timer would never get its
    // turn, and a foreign sender could keep a motion from being stopped. The timer is served here
    // once a batch is done (the cap bounds how long that takes).
    if (WaitForSingleObject(m_motionTimer, 0) == WAIT_OBJECT_0)
        OnMotionTimer(1);
}

// ---------------------------------------------------------------------------------------------
// Remote sessions

HRESULT STDMETHODCALLTYPE CPTZCamera::StartRemoteSession(ULONG* pIpv4Addr, USHORT* pPort) {
    CK47ScopedLock session(m_sessionLock);
    if (m_socket == INVALID_SOCKET) {
        std::vector<USHORT> busy;
        HRESULT hr = S_OK;
        try {
            OpenSessionSocket(&busy);
        } catch (const CExceptionBase& e) {
            K47LogHandled(e, __FILE__, kStartSessionHandledLine);
            CloseRemoteSession(false);
            hr = e.GetHresult();
        } catch (...) {
            K47LogUnhandled(__FILE__, kStartSessionUnhandledLine);
            CloseRemoteSession(false);
            hr = E_FAIL;
        }
        // Held while searching, so that the service offered the next port each time.
        for (USHORT port : busy)
            m_portService->ReleasePort(port);
        if (FAILED(hr))
            return hr;
    }
    *pIpv4Addr = 0;
    *pPort = m_port;
    return S_OK;
}

void CPTZCamera::OpenSessionSocket(std::vector<USHORT>* busy) {
    for (;;) {
        if (m_port == 0 && m_portService && m_portService->IsEnabled() != 0) {
            USHORT port = 0;
            HRESULT hr = m_portService->AllocatePort(&port);
            if (FAILED(hr)) {
                if (!busy->empty())
                    g_ErrorHandling.WriteLog(
                        "PTZCamera: no free UDP port for a remote session: %u port(s) of the "
                        "host's range are held by other programs\n",
                        static_cast<unsigned>(busy->size()));
                throw CHresultError(__FILE__, kAllocatePortLine, hr);
            }
            // A service that offers a port again while the camera still holds it would keep the
            // search going for ever: that is its way of saying it has no other.
            if (std::find(busy->begin(), busy->end(), port) != busy->end()) {
                m_portService->ReleasePort(port);
                throw CHresultError(__FILE__, kAllocatePortLine,
                                    HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS));
            }
            m_port = port;
            m_portFromHost = 1;
        }
        m_socket = WSASocketA(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, 0);
        if (m_socket == INVALID_SOCKET)
            throw CWSAError(__FILE__, kSocketLine);
        sockaddr_in local;
        std::memset(&local, 0, sizeof(local));
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(m_sessionAddress);
        local.sin_port = htons(m_port);
        if (bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
            if (WSAGetLastError() != WSAEADDRINUSE || m_portFromHost == 0)
                throw CWSAError(__FILE__, kBindLine);
            closesocket(m_socket);
            m_socket = INVALID_SOCKET;
            busy->push_back(m_port);
            m_port = 0;
            m_portFromHost = 0;
            continue;
        }
        break;
    }
    if (m_port == 0)
        m_port = CK47SocketAddress::FromSocketName(m_socket).Port();
    // Selected last, so the worker sees no datagram event before the socket is complete.
    if (WSAEventSelect(m_socket, m_datagramEvent, FD_READ) != 0)
        throw CWSAError(__FILE__, kEventSelectLine);
}

void CPTZCamera::CloseRemoteSession(bool endOwnership) {
    CK47ScopedLock session(m_sessionLock);
    ResetEvent(m_datagramEvent);
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
    if (m_portFromHost != 0 && m_port != 0) {
        if (m_portService)
            m_portService->ReleasePort(m_port);
        m_port = 0;
        m_portFromHost = 0;
    }
    if (endOwnership) {
        m_lastSequence = 0;
        m_peer.Clear();
        PublishOwner();
    }
}

// ---------------------------------------------------------------------------------------------
// Configuration

void CPTZCamera::SetupPresetVariable(const CameraInitData& record) {
    if (record.sink == nullptr)
        return;
    // "PTZPreset." + name; an empty name leaves the prefix alone.
    CComBSTR name;
    name.Attach(SysAllocString(kPresetVariablePrefix));
    if (!name)
        throw CHresultError(__FILE__, __LINE__, E_OUTOFMEMORY);
    UINT length = SysStringLen(record.name);
    if (length > 0) {
        std::u16string full = kPresetVariablePrefix;
        full.append(record.name, length);
        BSTR joined = SysAllocStringLen(full.data(), static_cast<UINT>(full.size()));
        if (joined != nullptr)
            name.Attach(joined);
    }
    if (m_presetVariable) {
        if (m_presetCookie != 0)
            m_presetVariable->Unadvise(m_presetCookie);
        m_presetCookie = 0;
        m_presetVariable.Reset();
    }
    record.sink->GetVariable(name, m_presetVariable.ReleaseAndGetAddressOf());
    if (!m_presetVariable)
        return;  // the host has no such variable: no preset by variable
    VARIANT zero;
    VariantInit(&zero);
    zero.vt = VT_I4;
    zero.lVal = 0;
    m_presetVariable->SetValue(zero);
    m_presetVariable->Advise(static_cast<IK47EventSink*>(this), &m_presetCookie);
}

HRESULT STDMETHODCALLTYPE CPTZCamera::Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                                 ULONG_PTR pInitData) {
    {
        CK47ScopedLock lock(m_lock);
        m_driver.Reset();
        if (pOwner != nullptr)
            pOwner->QueryInterface(IID_IK47PTZProtocol,
                                   reinterpret_cast<void**>(m_driver.GetAddressOf()));
    }
    const auto* record = reinterpret_cast<const CameraInitData*>(pInitData);
    if (record != nullptr) {
        try {
            SetupPresetVariable(*record);
        } catch (const CExceptionBase& e) {
            // Only the variable name's allocation can fail here; the creating driver reports it.
            return e.GetHresult();
        }
    }
    m_portService = record != nullptr ? static_cast<IK47PortService*>(record->initData) : nullptr;
    m_sessionAddress = INADDR_ANY;
    Microsoft::WRL::ComPtr<IK47SessionAddress> sessionAddress;
    if (m_portService && SUCCEEDED(m_portService.As(&sessionAddress))) {
        ULONG address = INADDR_ANY;
        if (SUCCEEDED(sessionAddress->GetSessionAddress(&address)))
            m_sessionAddress = address;
    }
    return static_cast<IK47ObjectConfiguration*>(this)->Reconfigure(pElement);
}

HRESULT STDMETHODCALLTYPE CPTZCamera::Reconfigure(IXMLDOMElement* pElement) {
    return K47Guard(__FILE__, kReconfigureHandledLine, kReconfigureUnhandledLine, [&]() -> HRESULT {
        {
            CK47ScopedLock lock(m_lock);
            CancelTimer();
        }
        Stop(INFINITE, nullptr);
        CloseRemoteSession(true);
        CXMLAttribute attributes(pElement);
        m_address = attributes.GetXMLAttributeInt("Address");
        m_port = static_cast<USHORT>(attributes.GetXMLAttributeInt("UDPPort", 0));
        Start();
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPTZCamera::MakeDefault(IXMLDOMElement* /*pElement*/) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CPTZCamera::OnEvent(ULONG_PTR /*param*/) {
    if (!m_presetVariable)
        return E_UNEXPECTED;
    CComVariant value;
    HRESULT hr = m_presetVariable->GetValue(&value);
    if (FAILED(hr))
        return hr;
    hr = VariantChangeType(&value, &value, 0, VT_I4);
    if (SUCCEEDED(hr) && value.lVal > 0)
        return static_cast<IK47PTZCamera*>(this)->Command(PTZCMD_GOTOPRESET, value.lVal);
    return hr;
}

HRESULT STDMETHODCALLTYPE CPTZCamera::Terminate(BOOL /*bShuttingDown*/) {
    return K47Guard(__FILE__, kTerminateHandledLine, kTerminateUnhandledLine, [&]() -> HRESULT {
        Stop(INFINITE, nullptr);
        CloseRemoteSession(true);
        if (m_presetVariable) {
            if (m_presetCookie != 0)
                m_presetVariable->Unadvise(m_presetCookie);
            m_presetCookie = 0;
            m_presetVariable.Reset();
        }
        return S_OK;
    });
}
