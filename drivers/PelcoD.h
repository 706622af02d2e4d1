// CPelcoD, the class behind K47PelcoD: cameras speaking Pelco-D on one serial line. Seven-byte
// frames (FF, address, command 1, command 2, data 1, data 2, checksum of bytes 1 to 5), a record
// per camera address ("Model", "TurnON", "SetManual", "ExpectAnswer" of its camera element), the
// periodic refresh of cameras that want it (Camera On and Manual Scan before the first command or
// plain move once "InitIntervalSec" has passed), and the camera's answer read after each frame
// when it is expected (4 bytes; 7 after command 2 = 0x51, 0x53, 0x55, 0x63; 18 after 0x45).
//
// The frames and the answer lengths come from the encoder in PelcoDFrame.h; this class adds the
// records, the refresh, the line and the answers.
//
// On a two-wire bus the sender hears its own frame before the camera's answer: an answer that
// begins with the frame just sent is read past it, so answers are right with or without echo.
//
// Threading: as CSerialPTZ. The port lock also guards the camera table and the refresh interval.
// MoveRelative with any speed only tries the lock: a move arriving while another thread uses the
// line is dropped with S_FALSE (the newest move wins; the next one, 100 ms later, carries the
// same speeds). No camera loses twice in a row: the move after a dropped one waits for the line,
// so on a crowded line every camera gets its turn instead of the same cameras losing every time.
// A stop (all five speeds zero) is never dropped: it waits for the line as commands do. While a
// stop or such a move waits, moves that find the lock free still step aside, so a stream of moves
// cannot starve them. Commands, menu commands, queries and camera additions wait.
// MenuCommand holds the lock across its move and stop frames, so nothing of another thread comes
// between them. When a line that was down comes back, every camera on it gets one stop and its
// refresh frames.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <span>

#include "drivers/PelcoDFrame.h"
#include "drivers/SerialPTZ.h"

enum PelcoModel : int32_t {
    PelcoModelMessoa = 0,
    PelcoModelGeneric = 1,
    PelcoModelPelco = 2,
};

struct PelcoCameraRecord {
    int32_t model = PelcoModelGeneric;
    bool turnOn = false;
    bool setManual = false;
    bool expectAnswer = false;
    LONGLONG lastRefresh = 0;  // FILETIME value (100 ns units) of the last refresh; 0: never
};

class CPelcoD : public CSerialPTZ {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    // The model kind of a "Model" attribute (without regard to case).
    static PelcoModel ModelFromName(const char* name);

    // IK47PTZProtocol
    HRESULT STDMETHODCALLTYPE AddCamera(BSTR name, IXMLDOMElement* pElement, IUnknown* pOuterUnk,
                                        IUnknown** ppCamera) override;
    HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom,
                                           SHORT focus, SHORT iris) override;
    HRESULT STDMETHODCALLTYPE Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) override;
    HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) override;
    HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR address, PTZFUNCTION* pFunc,
                                             ULONG* pPresetCount) override;

  protected:
    CPelcoD() = default;
    ~CPelcoD() override = default;

    void ReadDriverConfiguration(CXMLAttribute& attributes) override;
    void OnLineRestored() override;

  private:
    using Frame = k47pelcod::Frame;

    // Each of these runs with the port lock held.
    void SendFrame(PelcoCameraRecord& record, const Frame& frame);
    void RefreshCameraIfDue(PelcoCameraRecord& record, INT_PTR address);
    // The record of `address`, or `fallback` (a Generic camera with every flag off) when no
    // AddCamera registered that address.
    PelcoCameraRecord& Record(INT_PTR address, PelcoCameraRecord& fallback);

    HRESULT MoveCamera(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom, SHORT focus, SHORT iris,
                       bool wait);
    bool LostLastMove(INT_PTR address);
    void SetLostLastMove(INT_PTR address, bool lost);
    // Builds and sends the move; `refresh` for plain moves (menu moves skip the refresh).
    void SendMove(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom, SHORT focus, SHORT iris,
                  bool refresh);

    // Fields, in order (after CSerialPTZ's).
    std::map<INT_PTR, PelcoCameraRecord> m_cameras;
    LONGLONG m_refreshInterval = 0;  // 100 ns units
    // Calls waiting for the port lock (stops, and moves of cameras that lost their previous
    // move); moves that would only try the lock yield while it is not 0. Read without the lock.
    std::atomic<int> m_waiting{0};
    // First come, first served among the calls that wait for the port lock: Pass returns once
    // every earlier waiter has taken the lock, holding it (the caller unlocks). Not for a thread
    // that already holds the port lock (it would wait behind a waiter that waits for it).
    class Turnstile {
      public:
        void Pass(CSyncObjectBase& lock);

      private:
        std::mutex m_mutex;
        std::condition_variable m_turn;
        uint64_t m_next = 0;     // guarded by m_mutex
        uint64_t m_serving = 0;  // guarded by m_mutex
    };
    Turnstile m_turnstile;
    // Addresses whose last move was dropped on a busy line. Own lock: read before the port lock
    // is tried, never held across I/O.
    std::mutex m_lostLock;
    std::set<INT_PTR> m_lostLastMove;
};
