// The Pelco-D driver: frames, camera records, refresh and answers.
#include "drivers/PelcoD.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {

constexpr LONGLONG kFileTimeUnitsPerSecond = 10000000;

constexpr INT_PTR kMenuPreset = 95;
constexpr SHORT kFullSpeed = 100;

bool EqualsIgnoringCase(const char* text, const char* upper) {
    for (; *text != '\0' && *upper != '\0'; ++text, ++upper) {
        if (std::toupper(static_cast<unsigned char>(*text)) != *upper)
            return false;
    }
    return *text == *upper;
}

LONGLONG Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) |
                                 now.dwLowDateTime);
}

}  // namespace

std::span<const K47InterfaceEntry> CPelcoD::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CPelcoD, IK47PTZProtocol>(),
        K47Entry<CPelcoD, IK47ObjectConfiguration>(),
        K47Entry<CPelcoD, IK47LineStatus>(),
        K47Entry<CPelcoD, IK47LineCounters>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

PelcoModel CPelcoD::ModelFromName(const char* name) {
    if (EqualsIgnoringCase(name, "MESSOA"))
        return PelcoModelMessoa;
    if (EqualsIgnoringCase(name, "PELCO"))
        return PelcoModelPelco;
    return PelcoModelGeneric;
}

void CPelcoD::ReadDriverConfiguration(CXMLAttribute& attributes) {
    LONGLONG seconds = attributes.GetXMLAttributeLongLong("InitIntervalSec", 60);
    // Saturated rather than overflowed: an absurd interval means "never again".
    constexpr LONGLONG kMax = std::numeric_limits<LONGLONG>::max() / kFileTimeUnitsPerSecond;
    if (seconds > kMax)
        seconds = kMax;
    if (seconds < -kMax)
        seconds = -kMax;
    m_refreshInterval = seconds * kFileTimeUnitsPerSecond;
}

PelcoCameraRecord& CPelcoD::Record(INT_PTR address, PelcoCameraRecord& fallback) {
    auto found = m_cameras.find(address);
    return found != m_cameras.end() ? found->second : fallback;
}

// ---------------------------------------------------------------------------------------------
// IK47PTZProtocol

HRESULT STDMETHODCALLTYPE CPelcoD::AddCamera(BSTR name, IXMLDOMElement* pElement,
                                             IUnknown* pOuterUnk, IUnknown** ppCamera) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        CreateCamera(name, pElement, CLSID_PTZCameraStub, pOuterUnk, ppCamera);

        INT_PTR address = 0;
        {
            ComPtr<IK47PTZCamera> camera;
            HRESULT hr = (*ppCamera)->QueryInterface(
                IID_IK47PTZCamera, reinterpret_cast<void**>(camera.GetAddressOf()));
            if (FAILED(hr))
                throw CHresultError(__FILE__, __LINE__, hr);
            hr = camera->GetAddress(&address);
            if (FAILED(hr))
                throw CHresultError(__FILE__, __LINE__, hr);
        }

        CXMLAttribute attributes(pElement);
        PelcoCameraRecord record;
        record.model = ModelFromName(attributes.GetXMLAttributeString("Model", "").c_str());
        record.turnOn = attributes.GetXMLAttributeInt("TurnON", 0) != 0;
        record.setManual = attributes.GetXMLAttributeInt("SetManual", 0) != 0;
        record.expectAnswer = attributes.GetXMLAttributeInt("ExpectAnswer", 0) != 0;
        record.lastRefresh = 0;

        CK47ScopedLock lock(PortLock());
        // A camera added again under the same address starts afresh (and is refreshed at once).
        PelcoCameraRecord& stored = m_cameras.insert_or_assign(address, record).first->second;
        RefreshCameraIfDue(stored, address);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPelcoD::MoveRelative(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom,
                                                SHORT focus, SHORT iris) {
    return MoveCamera(address, pan, tilt, zoom, focus, iris, false);
}

HRESULT CPelcoD::MoveCamera(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom, SHORT focus,
                            SHORT iris, bool wait) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        if (wait) {
            CK47ScopedLock lock(PortLock());
            SendMove(address, pan, tilt, zoom, focus, iris, false);
            return S_OK;
        }
        // A stop is never dropped (a camera must not keep moving because the line was busy), and
        // neither is a move whose camera lost its previous one (on a crowded line the same
        // cameras would otherwise lose every time and never start moving).
        const bool stop = pan == 0 && tilt == 0 && zoom == 0 && focus == 0 && iris == 0;
        if (!stop && !LostLastMove(address)) {
            if (m_waiting.load(std::memory_order_acquire) == 0) {
                CK47ScopedTryLock lock(PortLock());
                if (lock.OwnsLock()) {
                    SendMove(address, pan, tilt, zoom, focus, iris, true);
                    return S_OK;
                }
            }
            // The line is busy, or a call waits for it and goes first: dropped, nothing logged.
            SetLostLastMove(address, true);
            CountDroppedMove();
            return S_FALSE;
        }
        m_waiting.fetch_add(1, std::memory_order_acq_rel);
        struct Leave {
            std::atomic<int>& count;
            ~Leave() { count.fetch_sub(1, std::memory_order_acq_rel); }
        } leave{m_waiting};
        // Waiters take the line in the order they came (the port mutex itself promises no
        // order), so none waits longer than the calls ahead of it.
        m_turnstile.Pass(PortLock());
        struct Unlock {
            CSyncObjectBase& lock;
            ~Unlock() { lock.Unlock(); }
        } unlock{PortLock()};
        SendMove(address, pan, tilt, zoom, focus, iris, true);
        return S_OK;
    });
}

void CPelcoD::Turnstile::Pass(CSyncObjectBase& lock) {
    std::unique_lock<std::mutex> guard(m_mutex);
    const uint64_t ticket = m_next++;
    m_turn.wait(guard, [&] { return m_serving == ticket; });
    guard.unlock();
    lock.Lock();  // the next in line now waits for the lock itself
    guard.lock();
    ++m_serving;
    m_turn.notify_all();
}

bool CPelcoD::LostLastMove(INT_PTR address) {
    std::lock_guard<std::mutex> guard(m_lostLock);
    return m_lostLastMove.count(address) != 0;
}

void CPelcoD::SetLostLastMove(INT_PTR address, bool lost) {
    std::lock_guard<std::mutex> guard(m_lostLock);
    if (lost)
        m_lostLastMove.insert(address);
    else
        m_lostLastMove.erase(address);
}

void CPelcoD::SendMove(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom, SHORT focus, SHORT iris,
                       bool refresh) {
    PelcoCameraRecord fallback;
    PelcoCameraRecord& record = Record(address, fallback);

    Frame frame = k47pelcod::Move(address, pan, tilt, zoom, focus, iris);

    if (refresh)
        RefreshCameraIfDue(record, address);
    SetLostLastMove(address, false);
    SendFrame(record, frame);
}

HRESULT STDMETHODCALLTYPE CPelcoD::Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        CK47ScopedLock lock(PortLock());
        PelcoCameraRecord fallback;
        PelcoCameraRecord& record = Record(address, fallback);
        // The command value goes out unchecked: the enumeration's values are Pelco-D's command-2
        // codes, and any other value is the caller's to send.
        Frame frame =
            k47pelcod::Command(address, static_cast<BYTE>(static_cast<uint32_t>(cmd) & 0xFF), arg);
        RefreshCameraIfDue(record, address);
        SendFrame(record, frame);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPelcoD::MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) {
    return K47Guard(__FILE__, __LINE__, __LINE__, [&]() -> HRESULT {
        // Held across both frames of a navigation step (the nested calls take it again).
        CK47ScopedLock lock(PortLock());
        SHORT pan = 0;
        SHORT tilt = 0;
        switch (cmd) {
            case PTZMENUCMD_OPEN: {
                PelcoCameraRecord fallback;
                const PelcoCameraRecord& record = Record(address, fallback);
                // Pelco and Messoa cameras open their menu on Set Preset 95, others on Go To 95.
                PTZCOMMAND open =
                    record.model == PelcoModelGeneric ? PTZCMD_GOTOPRESET : PTZCMD_SETPRESET;
                return Command(address, open, kMenuPreset);
            }
            case PTZMENUCMD_UP:
                tilt = kFullSpeed;
                break;
            case PTZMENUCMD_DOWN:
                tilt = -kFullSpeed;
                break;
            case PTZMENUCMD_LEFT:
                pan = -kFullSpeed;
                break;
            case PTZMENUCMD_RIGHT:
                pan = kFullSpeed;
                break;
            default:
                return E_INVALIDARG;  // close, select, select2: Pelco-D has no frame for them
        }
        // A navigation step is a full-speed move at once followed by the stop; the results do
        // not matter (each failure is logged by MoveCamera).
        MoveCamera(address, pan, tilt, 0, 0, 0, true);
        MoveCamera(address, 0, 0, 0, 0, 0, true);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPelcoD::QueryFunctions(INT_PTR /*address*/, PTZFUNCTION* pFunc,
                                                  ULONG* pPresetCount) {
    if (pFunc == nullptr || pPresetCount == nullptr)
        return E_POINTER;
    CK47ScopedLock lock(PortLock());
    *pFunc =
        static_cast<PTZFUNCTION>(PTZFUNC_MENUOPEN | PTZFUNC_MENUNAVIGATE | PTZFUNC_CLEARPRESET);
    *pPresetCount = 15;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Refresh and output (port lock held)

void CPelcoD::RefreshCameraIfDue(PelcoCameraRecord& record, INT_PTR address) {
    LONGLONG now = Now();
    if (now - record.lastRefresh < m_refreshInterval)
        return;
    record.lastRefresh = now;
    if (record.turnOn)
        SendFrame(record, k47pelcod::CameraOn(address));
    if (record.setManual)
        SendFrame(record, k47pelcod::ManualScan(address));
}

void CPelcoD::OnLineRestored() {
    // The line may have been down while a camera moved: each camera is stopped, then set up again.
    for (auto& [address, record] : m_cameras) {
        SendFrame(record, k47pelcod::Move(address, 0, 0, 0, 0, 0));
        record.lastRefresh = 0;
        RefreshCameraIfDue(record, address);
    }
}

void CPelcoD::SendFrame(PelcoCameraRecord& record, const Frame& frame) {
    if (!WriteFrame(frame.data(), frame.size()))
        return;                // no port, or the line is down: dumped only
    FlushFileBuffers(Port());  // the result does not matter
    if (!record.expectAnswer)
        return;
    // The answer is consumed, not examined; a short read (the camera is late or silent) is fine.
    // On a bus that echoes, the frame itself comes first: when what was read begins with it, the
    // rest of the echo and the whole answer follow.
    constexpr DWORD kEcho = std::tuple_size_v<Frame>;
    const auto length = static_cast<DWORD>(k47pelcod::AnswerLength(frame[3]));
    BYTE answer[kEcho + k47pelcod::kMaxAnswerLength];
    DWORD read = 0;
    if (!ReadFile(Port(), answer, length, &read, nullptr))
        throw CWin32Error(__FILE__, __LINE__);
    if (read == 0 || std::memcmp(answer, frame.data(), std::min(read, kEcho)) != 0)
        return;
    DWORD more = 0;
    if (!ReadFile(Port(), answer + read, kEcho + length - read, &more, nullptr))
        throw CWin32Error(__FILE__, __LINE__);
}
