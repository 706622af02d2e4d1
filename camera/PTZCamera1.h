// CPTZCamera, the class behind PTZCameraStub: one object per configured camera, created by its
// protocol driver aggregated into the camera wrapper. It adds the camera's address to every driver
// call, serialises the calls of one camera under its lock, stops a motion that nobody renews within
// 5 s, repeats the stop 11 times 0.4 s apart after EndMotion, offers the camera's preset as the
// host variable "PTZPreset.<name>", and runs the camera's datagram listener for remote clients.
//
// A stop is never lost to a command: a Go To Preset or a menu command (which move the camera
// themselves) arriving while the motion timer is pending first sends one stop and frees the
// session, then cancels the timer so that its own move is not cut short; every other command
// leaves the timer alone.
//
// Threads and locks: control calls come from any thread and take the camera's lock (always before
// the driver's own port lock). The worker thread runs the motion-timer handler and the datagram
// receive handler; the receive handler takes the datagrams waiting (up to kDatagramBatch), judges
// each in turn, and calls MoveRelative/EndMotion like any caller, but only for the newest accepted
// move and any end of motion among them. The datagram session's peer and last sequence are touched
// only on the worker, and by closing the session while the worker is stopped. Configuration
// (Initialize, Reconfigure, Terminate) comes from the host, one call at a time.
//
// Counters (IK47CameraCounters): what the camera sent and what its datagram listener made of each
// datagram, bumped where it happens and read by any thread without a lock.
//
// Lifetime: the preset variable holds a reference to this object's event sink, i.e. to the
// wrapper's identity; the host breaks that cycle with Terminate (IK47Terminate) before its last
// release. The final release runs Terminate too.
#pragma once

#include <atlbase.h>
#include <winsock2.h>
#include <wrl/client.h>

#include <atomic>
#include <span>
#include <vector>

#include "common/Counters.h"
#include "common/SocketAddress.h"
#include "common/SocketLibrary.h"
#include "common/thread.h"
#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

class CPTZCamera : public CK47ComObjectRoot,
                   public IK47PTZCamera,
                   public IK47ObjectConfiguration,
                   public IK47EventSink,
                   public IK47Terminate,
                   public IK47CameraStatus,
                   public IK47CameraCounters,
                   public CThread<CPTZCamera, CThreadWait, CThreadCOMMulti, CThreadWait> {
  public:
    // Relative due times of the motion timer, in 100 ns units.
    static constexpr LONGLONG kMotionTimeout = -50000000LL;      // 5 s
    static constexpr LONGLONG kStopRepeatInterval = -4000000LL;  // 0.4 s
    static constexpr LONG kStopRepeats = 10;                     // after the first stop
    // Receives of one wake-up of the datagram handler, at most.
    static constexpr DWORD kDatagramBatch = 64;

    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    // IK47PTZCamera
    HRESULT STDMETHODCALLTYPE MoveRelative(SHORT pan, SHORT tilt, SHORT zoom, SHORT focus,
                                           SHORT iris) override;
    HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND cmd, INT_PTR arg) override;
    HRESULT STDMETHODCALLTYPE StartRemoteSession(ULONG* pIpv4Addr, USHORT* pPort) override;
    HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND cmd) override;
    HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION* pFunc, ULONG* pPresetCount) override;
    HRESULT STDMETHODCALLTYPE GetAddress(INT_PTR* pAddress) override;
    HRESULT STDMETHODCALLTYPE EndMotion() override;

    // IK47ObjectConfiguration. pInitData points to a CameraInitData record.
    HRESULT STDMETHODCALLTYPE Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                         ULONG_PTR pInitData) override;
    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement* pElement) override;
    HRESULT STDMETHODCALLTYPE MakeDefault(IXMLDOMElement* pElement) override;

    // IK47EventSink: the preset variable changed.
    HRESULT STDMETHODCALLTYPE OnEvent(ULONG_PTR param) override;

    // IK47Terminate
    HRESULT STDMETHODCALLTYPE Terminate(BOOL bShuttingDown) override;

    // IK47CameraStatus: the session's owner as last published; any thread, no lock.
    HRESULT STDMETHODCALLTYPE GetSessionOwner(ULONG* pIpv4Addr, USHORT* pPort) override;

    // IK47CameraCounters: any thread, no lock.
    HRESULT STDMETHODCALLTYPE GetCameraCounters(K47CAMERACOUNTERS* pCounters) override;

    HRESULT FinalConstruct();
    void FinalRelease();

    // Worker hooks.
    void OnThreadInit();
    void OnThreadExit() {}

  protected:
    CPTZCamera();
    ~CPTZCamera();

  private:
    void OnDatagram(DWORD index);
    void OnMotionTimer(DWORD index);
    void SetupPresetVariable(const CameraInitData& record);
    // Closes the datagram socket and gives a host port back. With `endOwnership` (only while the
    // worker is stopped) the session's owner and sequence are forgotten too.
    void CloseRemoteSession(bool endOwnership);
    void ArmTimer(LONGLONG dueTime);
    // Disarms the motion timer and drops the stop repeats still to come (m_lock held).
    void CancelTimer();
    // With the motion timer pending: one stop, the session freed, the timer cancelled; true when
    // it did that. m_lock held.
    bool StopBeforeOwnMove();
    static bool MovesTheCamera(PTZCOMMAND cmd);
    // Records a control call for LastCommand: its kind and code with the time.
    void NoteCall(K47CAMERACALL kind, int code = 0) noexcept;
    // A stop the camera sends on its own (the time-out, the repeats, before a preset or menu
    // step); m_lock held.
    void SendOwnStop();
    // Copies m_peer into m_owner; called wherever m_peer changes.
    void PublishOwner() noexcept;

    // Creates and binds the session socket on m_sessionAddress (m_sessionLock held). A port from
    // the host that another program holds is kept in `busy` and the next one tried.
    void OpenSessionSocket(std::vector<USHORT>* busy);

    // Fields, in order.
    CK47SocketLibraryReference m_socketLibrary;
    CK47CriticalSection m_lock;  // guards the driver calls and the stop repeats
    Microsoft::WRL::ComPtr<IK47PTZProtocol> m_driver;
    INT_PTR m_address = 0;
    USHORT m_port = 0;
    BYTE m_portFromHost = 0;
    Microsoft::WRL::ComPtr<IK47PortService> m_portService;
    ULONG m_sessionAddress = INADDR_ANY;  // host order; from the port service's IK47SessionAddress
    SOCKET m_socket = INVALID_SOCKET;
    SHORT m_lastSequence = 0;
    CK47SocketAddress m_peer;
    LONG m_stopRepeats = 0;
    Microsoft::WRL::ComPtr<IK47Variable> m_presetVariable;
    DWORD m_presetCookie = 0;
    HANDLE m_motionTimer = nullptr;
    HANDLE m_datagramEvent = nullptr;
    // Serialises StartRemoteSession against itself and against closing the session: the control
    // service may ask for a session from several threads at once. Never held with m_lock.
    CK47CriticalSection m_sessionLock;
    // Whether the motion timer is armed and not yet served: set when armed, cleared when its
    // handler runs without re-arming it or when it is cancelled. Atomic: datagram renewals arm it
    // without m_lock.
    std::atomic<bool> m_timerPending{false};
    // Set by a preset or menu command that ended a guarded motion; the worker then forgets the
    // session's owner and sequence (fields only the worker touches) before its next datagram.
    std::atomic<bool> m_releaseSession{false};
    // m_peer for other threads (IK47CameraStatus): kOwnerPresent, the IPv4 address (host order)
    // shifted by 16 and the port; 0 without owner. m_peer itself belongs to the worker.
    static constexpr uint64_t kOwnerPresent = uint64_t{1} << 48;
    std::atomic<uint64_t> m_owner{0};
    // Whether the motion timer was last armed for a stop repeat rather than the 5 s time-out, so
    // that its handler can tell a repeated stop from a dead-man stop. Set wherever it is armed.
    std::atomic<bool> m_repeatBeat{false};
    struct Counters {
        CK47Counter movesSent;
        CK47Counter stopsSent;
        CK47Counter deadManStops;
        CK47Counter repeatedStops;
        CK47Counter datagramsAccepted;
        CK47Counter datagramsStale;
        CK47Counter datagramsForeign;
        CK47Counter datagramsMalformed;
        CK47Counter sessionsStarted;
    } m_counters;
    // The last control call in one word, so that its kind and time are read together:
    // K47CAMERACALL << 56 | its code (16 bits) << 40 | GetTickCount64 (40 bits: 34 years).
    std::atomic<uint64_t> m_lastCall{0};
};
