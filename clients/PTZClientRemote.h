// CPTZClientRemote, the class behind PTZClientRemote: steers one camera wired to another machine.
// Connect opens a remote-control session through the server's control web service (SOAP over HTTP,
// or HTTPS for an "https" address) and sets up a UDP path to the camera's host; Command,
// MenuCommand and QueryFunctions go through the service; continuous motion goes as 14-byte
// datagrams, sent every 100 ms by a worker thread while a motion lasts, and once more with the end
// flag when it ends.
//
// Threads and locks: callers may come from any thread (free-threaded marshaler), but must not
// overlap Connect with other calls, nor Command/MenuCommand/QueryFunctions with each other (the
// proxy serves one call at a time). The datagram lock guards the datagram buffer only; the sender
// increments the sequence number and sends under it, so no datagram mixes two sets of speeds.
#pragma once

#include <atlbase.h>
#include <winsock2.h>
#include <wrl/client.h>

#include <memory>
#include <span>

#include "common/MotionDatagram.h"
#include "common/SocketAddress.h"
#include "common/SocketLibrary.h"
#include "common/thread.h"
#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

class IVLTControl;

class CPTZClientRemote
    : public CK47ComObjectRoot,
      public IK47PTZClient,
      public CThread<CPTZClientRemote, CThreadWait, CThreadCOMMulti, CThreadWait> {
  public:
    // The HTTPS transport's time limits (ms): resolve, connect, send, receive.
    static constexpr DWORD kResolveTimeout = 60000;
    static constexpr DWORD kConnectTimeout = 1000;
    static constexpr DWORD kSendTimeout = 10000;
    static constexpr DWORD kReceiveTimeout = 600000;
    static constexpr LONG kSendPeriod = 100;  // ms between two datagrams while moving

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

    // Builds the proxy for a server address: the XML HTTP transport for the scheme "https"
    // (exactly), the socket transport for anything else. Throws CHresultError(E_OUTOFMEMORY) when
    // it cannot.
    static std::unique_ptr<IVLTControl> BuildProxy(BSTR address);

  protected:
    CPTZClientRemote();
    ~CPTZClientRemote();

  private:
    static HRESULT ForwardMarshal(void* self, REFIID riid, void** ppv);
    void SendDatagram(DWORD index);
    void CloseSocket();

    // Fields, in order.
    CK47SocketLibraryReference m_socketLibrary;
    Microsoft::WRL::ComPtr<IUnknown> m_marshaler;  // the aggregated free-threaded marshaler
    CComBSTR m_cameraName;
    CComBSTR m_serverAddress;
    std::unique_ptr<IVLTControl> m_proxy;
    HANDLE m_motionTimer = nullptr;
    CK47CriticalSection m_datagramLock;
    K47MotionDatagram m_datagram;  // guarded by m_datagramLock
    SOCKET m_socket = INVALID_SOCKET;
    CK47SocketAddress m_destination;
};
