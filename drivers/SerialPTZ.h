// CSerialPTZ, the common base of the serial protocol drivers (CPelcoD, CPanasonic, CBosch): one
// serial port and the lock that serialises all traffic on it, the debug switch, the references the
// driver received from whoever configured it, IK47ObjectConfiguration for all three drivers, the
// creation of camera objects for their AddCamera, and the frame output every driver uses (debug
// dump, purge of the receive side, one synchronous write).
//
// A driver without port (never configured, "COMPort" empty) accepts every control call: frames
// are only dumped (with "Debug") and nothing is written.
//
// Lines fail, and recover by themselves. A port that could not be opened, or whose device went
// away (hang-up, unplugged adapter: the write fails with ERROR_DEVICE_NOT_CONNECTED), marks the
// line down: one log line names the protocol element, the device and the error, calls go on
// succeeding without sending, and a frame to send tries to reopen the port with the same
// settings at most every kReopenIntervalMs (a worker of the driver tries it on that beat even when
// no call comes); one log line says when it is back. A write that
// does not leave the wire within its bound (kWriteTimeoutLineTimes times its line time, rounded
// up to whole milliseconds a byte, plus kWriteTimeoutConstantMs) is abandoned by the port, and
// the call fails with HRESULT_FROM_WIN32(ERROR_TIMEOUT): a stuck far end holds the port lock no
// longer than that; while the line stays stuck, each further frame gets only
// kStuckWriteTimeoutConstantMs beyond its 4 line times. A stuck line is logged when it sticks and
// when it flows again, with the number of frames that timed out, never once per frame.
//
// Its state is offered through IK47LineStatus (each driver lists it in its interface table): a copy
// made whenever the state changes, under a lock of its own, so that reading it never waits for a
// frame being written under the port lock. What the line did (frames and bytes written, moves
// dropped on the busy line, failed and timed-out writes, reopens) is counted where it happens and
// offered through IK47LineCounters, read without any lock.
//
// Threading: free-threaded. Control calls come from the worker threads of every camera on the
// line, configuration calls from the host. The port lock (a recursive Windows mutex, owned by the
// thread that takes it) guards the port handle, the debug switch and each driver's own settings
// and per-camera state; Reconfigure holds it while it reopens the port, and every frame is
// written under it. CreateCamera runs without it. Initialize stores the owner and init data
// without the lock: the host configures a driver before it hands it to cameras.
//
// Lifetime: the owner is kept without a reference; the init data with one. The destructor
// releases the init data, closes the mutex and then the port.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <cstddef>
#include <set>
#include <string>

#include "common/Counters.h"
#include "common/K47Global.h"
#include "common/Win32Handle.h"
#include "common/thread.h"
#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

class CSerialPTZ : public CK47ComObjectRoot,
                   public IK47PTZProtocol,
                   public IK47ObjectConfiguration,
                   public IK47LineStatus,
                   public IK47LineCounters,
                   public CThread<CSerialPTZ, CThreadWait, CThreadCOMMulti, CThreadWait> {
  public:
    // The port's read time-outs, in milliseconds: a read of n bytes ends 50 ms after the last
    // byte, or after 1000 + 50 n ms in all.
    static constexpr DWORD kReadIntervalTimeout = 50;
    static constexpr DWORD kReadTotalTimeoutMultiplier = 50;
    static constexpr DWORD kReadTotalTimeoutConstant = 1000;
    // The write bound: 4 line times (as whole milliseconds a byte) + 250 ms; 285 ms for a
    // seven-byte frame at 9600 Bd.
    static constexpr DWORD kWriteTimeoutLineTimes = 4;
    static constexpr DWORD kWriteTimeoutConstantMs = 250;
    // The constant while the line is stuck: calls queued behind a stuck line come back quickly.
    static constexpr DWORD kStuckWriteTimeoutConstantMs = 50;
    // How often a line that is down is tried again.
    static constexpr ULONGLONG kReopenIntervalMs = 2000;
    // Bits a character, 8N1.
    static constexpr DWORD kBitsPerCharacter = 10;

    // WriteTotalTimeoutMultiplier for `baudRate`: the milliseconds a byte takes, times
    // kWriteTimeoutLineTimes, rounded up.
    static DWORD WriteTimeoutPerByte(DWORD baudRate) noexcept;

    // IK47ObjectConfiguration. pInitData is an IUnknown* (the host's port service, or null) that
    // the driver only hands on to its cameras.
    HRESULT STDMETHODCALLTYPE Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                         ULONG_PTR pInitData) override;
    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement* pElement) override;
    HRESULT STDMETHODCALLTYPE MakeDefault(IXMLDOMElement* pElement) override;

    // IK47LineStatus: the copy last published; takes the status lock only.
    HRESULT STDMETHODCALLTYPE GetLineStatus(K47LINESTATE* pState, BSTR* pDevice,
                                            BSTR* pLastError) override;

    // IK47LineCounters: any thread, no lock.
    HRESULT STDMETHODCALLTYPE GetLineCounters(K47LINECOUNTERS* pCounters) override;

    // The port lock, for tests that keep the line busy from another thread.
    CSyncObjectBase& PortLock() noexcept { return m_portLock; }

    HRESULT FinalConstruct();
    // Ends the reopening worker before the derived driver's members go.
    void FinalRelease();

    // Worker hooks: while a line is down, a worker tries it again every kReopenIntervalMs even
    // when no call comes, so that its cameras get their stop as soon as it is back.
    void OnThreadInit();
    void OnThreadExit() {}

  protected:
    CSerialPTZ() = default;
    virtual ~CSerialPTZ() = default;

    // Reads the driver's own attributes from the protocol element; called by Reconfigure, with
    // the port lock held, once the port is set up (or found missing, to be retried).
    virtual void ReadDriverConfiguration(CXMLAttribute& attributes) = 0;
    // Called with the port lock held when a line that was down has been reopened, before the
    // frame that reopened it is written. Frames the driver writes here go out first. By default
    // every camera created on the line gets one stop: it may have been left moving.
    virtual void OnLineRestored();

    // Creates the camera object `clsid` aggregated into `pOuter` (*ppCamera: its IUnknown) and
    // initialises it with the camera element and a CameraInitData record. Throws CHresultError
    // with the failing step's HRESULT; *ppCamera keeps the created camera even then, for the
    // caller to release.
    void CreateCamera(BSTR name, IXMLDOMElement* pElement, REFCLSID clsid, IUnknown* pOuter,
                      IUnknown** ppCamera);

    // Frame output; the caller holds the port lock. Dumps the frame when the debug switch is on;
    // with a port, purges the receive side and writes the frame with one WriteFile (a failure
    // throws CWin32Error with the last error; a write that timed out throws CReportedError with
    // ERROR_TIMEOUT). Returns whether the frame was written: false without a port, and while the
    // line is down.
    bool WriteFrame(const BYTE* frame, size_t length);
    // WriteFrame under the port lock, waiting for it. A failure is logged as handled at the
    // driver's `file` and `line` and passed on to the operation's own handler.
    void WriteFrameLocked(const BYTE* frame, size_t length, const char* file, int line);
    // A move not sent because the line was busy (the driver's S_FALSE); any thread.
    void CountDroppedMove() noexcept { m_counters.movesDropped.Add(); }
    // The open port, or null; the caller holds the port lock.
    HANDLE Port() const noexcept { return m_port.IsValid() ? m_port.Get() : nullptr; }

  private:
    enum class LineState { kUp, kDown, kStuck };

    // Steps 3 to 11 of Reconfigure (the port lock is held and the port closed).
    HRESULT OpenAndSetUpPort(IXMLDOMElement* pElement);
    // Steps 6 to 10 with the remembered port name and rate; throws CWin32Error.
    void OpenPort();
    // Port lock held. The device went away: close the port, log, retry later.
    void MarkLineDown(DWORD error);
    // Port lock held, line down: reopens when the retry is due; true when the port is back.
    bool TryReopen();
    // The reopen timer's handler (the worker).
    void OnReopenDue(DWORD index);
    // Port lock held, port open: the write bound's constant part.
    void SetWriteBound(DWORD constantMs);
    // The line as logs name it: "line \"Name\" (PATH)".
    std::string LineName() const;
    // Port lock held: copies the line's state for GetLineStatus; a non-empty `error` becomes the
    // last error.
    void PublishLineState(const std::string& error = {});

    // Fields, in order.
    CWin32HANDLE m_port;
    CWin32Mutex<CSimpleWaitingTrait> m_portLock;
    IUnknown* m_owner = nullptr;  // not counted
    Microsoft::WRL::ComPtr<IUnknown> m_initData;
    bool m_debug = false;
    // Line state, under the port lock.
    std::string m_portName;  // as configured; empty: no port
    std::string m_elementName;
    DWORD m_baudRate = 0;
    LineState m_lineState = LineState::kUp;
    ULONGLONG m_nextReopen = 0;      // GetTickCount64 time of the next try while down
    ULONG m_failedFrames = 0;        // frames not sent while down, or timed out while stuck
    std::set<INT_PTR> m_addresses;   // of the cameras created on this line
    HANDLE m_reopenTimer = nullptr;  // periodic while the line is down; owned
    // What GetLineStatus reports, under m_statusLock (taken after the port lock, never before).
    CK47CriticalSection m_statusLock;
    K47LINESTATE m_publishedState = K47LINE_NONE;
    std::string m_publishedDevice;
    std::string m_lastError;
    // What the line did; bumped where it happens, read by GetLineCounters without a lock.
    struct Counters {
        CK47Counter framesWritten;
        CK47Counter bytesWritten;
        CK47Counter movesDropped;
        CK47Counter writeFailures;
        CK47Counter writeTimeouts;
        CK47Counter reopens;
    } m_counters;
};
