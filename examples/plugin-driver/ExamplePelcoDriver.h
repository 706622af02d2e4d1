// CExamplePelcoDriver, the class K47Example.PelcoDriver of the example plug-in module: a protocol
// driver supplied from outside the library, served to cameras through PTZ3PWrapper. It speaks
// Pelco-D itself on the serial port that the protocol element names in "COMPort" (at "BaudRate",
// 9600 when absent), and logs every call and its result through K47Global. Without "COMPort" it
// runs without a line: calls succeed and nothing is written.
//
// Threading: free-threaded; one critical section serialises the port and the camera list, and
// is held across each call's frames (a menu step's move and stop go out back to back).
// Lifetime: reference-counted; created by the module's class factory only. The port closes on
// Terminate, on a new Reconfigure and on the last release.
#pragma once

#include <windows.h>

#include <atomic>
#include <set>

#include "common/Win32Handle.h"
#include "common/thread.h"
#include "frame/K47PTZ.h"

class CExamplePelcoDriver final : public IPTZ3PDriver {
  public:
    // {6E1B2C47-3D58-4A9F-B0C2-7F4E91A3D5C8}
    static constexpr CLSID kClsid = {
        0x6E1B2C47, 0x3D58, 0x4A9F, {0xB0, 0xC2, 0x7F, 0x4E, 0x91, 0xA3, 0xD5, 0xC8}};
    static constexpr const char* kProgId = "K47Example.PelcoDriver";

    // A new driver, answering `riid`.
    static HRESULT Create(REFIID riid, void** ppv);
    // Drivers alive in this process (for DllCanUnloadNow).
    static LONG LiveObjects() noexcept { return s_live.load(std::memory_order_acquire); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IPTZ3PDriver
    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement* pElement) override;
    HRESULT STDMETHODCALLTYPE Terminate() override;
    HRESULT STDMETHODCALLTYPE AddCamera(INT_PTR address, IXMLDOMElement* pElement) override;
    HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom,
                                           SHORT focus, SHORT iris) override;
    HRESULT STDMETHODCALLTYPE Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) override;
    HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) override;
    HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR address, PTZFUNCTION* pFunc,
                                             ULONG* pPresetCount) override;

  private:
    CExamplePelcoDriver();
    ~CExamplePelcoDriver();
    CExamplePelcoDriver(const CExamplePelcoDriver&) = delete;
    CExamplePelcoDriver& operator=(const CExamplePelcoDriver&) = delete;

    // Opens and sets up the port; the lock is held.
    HRESULT OpenPort(IXMLDOMElement* pElement);
    // Sends one frame (checksum added); the lock is held. S_OK without a port.
    HRESULT Send(INT_PTR address, BYTE command1, BYTE command2, BYTE data1, BYTE data2);
    HRESULT SendMove(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom, SHORT focus, SHORT iris);

    static std::atomic<LONG> s_live;

    std::atomic<ULONG> m_refs{1};
    CK47CriticalSection m_lock;
    CWin32HANDLE m_port;
    std::set<INT_PTR> m_cameras;
};
