// CPTZClientLocal, the class behind PTZClientLocal: steers a camera that the installation's server
// process on this machine controls. The camera is found by name each time it is needed: a new
// object server (a local server, CLSCTX_LOCAL_SERVER) is asked for the object at path "PTZ" below
// the object of that name, which gives IK47PTZCamera. Discrete commands, menu commands and queries
// are one call each; a continuous motion is repeated on the camera every 100 ms by a worker thread,
// which asks the object server every 100th tick whether it should go on.
//
// Threads and locks: callers may come from any thread (free-threaded marshaler) but must not
// overlap Connect with other calls (the camera name is not locked). The speed lock guards the five
// speeds only; the tick copies them under it and calls the camera outside it. The worker's object
// server and camera are found on the worker and used only there; callers find their own.
//
// Lifetime: the final release stops the worker (waiting for a tick inside a cross-process call to
// return) without ending the camera's motion.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <span>

#include "common/thread.h"
#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

class CPTZClientLocal : public CK47ComObjectRoot,
                        public IK47PTZClient,
                        public CThread<CPTZClientLocal, CThreadWait, CThreadCOMMulti, CThreadWait> {
  public:
    static constexpr LONG kTickPeriod = 100;        // ms between two MoveRelative on the camera
    static constexpr LONG kStatusCheckTicks = 100;  // the tick that asks the object server instead

    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    // IK47PTZClient
    HRESULT STDMETHODCALLTYPE Connect(BSTR address, BSTR camera) override;
    HRESULT STDMETHODCALLTYPE MoveRelative(SHORT pan, SHORT tilt, SHORT zoom, SHORT focus,
                                           SHORT iris) override;
    HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND cmd, INT_PTR arg) override;
    HRESULT STDMETHODCALLTYPE EndMotion() override;
    HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND cmd) override;
    HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION* pFunc, ULONG* pPresetCount) override;

    HRESULT FinalConstruct();
    void FinalRelease();

    // Worker hooks.
    void OnThreadInit();
    void OnThreadExit();

  protected:
    CPTZClientLocal();
    ~CPTZClientLocal();

  private:
    // Owns the motion timer's handle.
    class CTimerHandle {
      public:
        CTimerHandle() = default;
        ~CTimerHandle() { Close(); }
        CTimerHandle(const CTimerHandle&) = delete;
        CTimerHandle& operator=(const CTimerHandle&) = delete;
        HANDLE Get() const noexcept { return m_handle; }
        void Reset(HANDLE handle) noexcept {
            Close();
            m_handle = handle;
        }
        void Close() noexcept {
            if (m_handle != nullptr)
                CloseHandle(m_handle);
            m_handle = nullptr;
        }

      private:
        HANDLE m_handle = nullptr;
    };

    // Owns a BSTR.
    class CName {
      public:
        CName() = default;
        ~CName() { SysFreeString(m_text); }
        CName(const CName&) = delete;
        CName& operator=(const CName&) = delete;
        BSTR Get() const noexcept { return m_text; }
        void Attach(BSTR text) noexcept {
            SysFreeString(m_text);
            m_text = text;
        }

      private:
        BSTR m_text = nullptr;
    };

    static HRESULT ForwardMarshal(void* self, REFIID riid, void** ppv);
    // Creates an object server, looks the camera up and hands out what is asked for (either
    // pointer may be null); throws on failure, releasing what it took.
    void FindCamera(IK47ObjectServer** server, IK47PTZCamera** camera);
    void OnTick(DWORD index);

    // Fields, in order (destroyed in reverse: speeds and their lock, timer, camera and object
    // server, name, marshaler; the worker's handles after them, with the base).
    Microsoft::WRL::ComPtr<IUnknown> m_marshaler;  // the aggregated free-threaded marshaler
    CName m_cameraName;
    Microsoft::WRL::ComPtr<IK47ObjectServer> m_objectServer;  // the worker's, for one run
    Microsoft::WRL::ComPtr<IK47PTZCamera> m_camera;           // the worker's, for one run
    CTimerHandle m_motionTimer;
    LONG m_tickCount = 0;
    CK47CriticalSection m_speedLock;
    SHORT m_pan = 0, m_tilt = 0, m_zoom = 0, m_focus = 0, m_iris = 0;  // guarded by m_speedLock
};
