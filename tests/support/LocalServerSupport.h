// Test support for calls across the platform's local-server transport with the library's own
// proxies and stubs:
//   ScopedLocalServers  — a private socket folder (K47_RUNTIME_DIR), the library's proxy/stub class
//                         registered (in this process, and under HKCR\Interface in the current
//                         registry folder), and class objects of this process reached through
//                         the socket like another process would; undone on destruction, after
//                         waiting for every connection to end.
//   CSingleObjectFactory — a class object whose CreateInstance hands out one given object.
//   CRecordingCamera    — IK47PTZCamera and IK47Terminate that record every call with its time
//                         and answer with scripted results; thread-safe, with waits for calls.
// Use ScopedLocalServers inside a registry folder of the test's own (ScopedRegistryFolder).
#pragma once

#include <wrl/client.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

namespace k47test {

class ScopedLocalServers {
  public:
    ScopedLocalServers();
    ~ScopedLocalServers();
    ScopedLocalServers(const ScopedLocalServers&) = delete;
    ScopedLocalServers& operator=(const ScopedLocalServers&) = delete;

    // Offers `object` (through a CSingleObjectFactory) as class `clsid` until destruction or
    // Revoke.
    HRESULT Publish(REFCLSID clsid, IUnknown* object);
    void Revoke();

  private:
    std::string folder_;
    std::vector<DWORD> cookies_;
};

class CSingleObjectFactory : public CK47ComObjectRoot, public IClassFactory {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();
    static Microsoft::WRL::ComPtr<IClassFactory> Create(IUnknown* object);

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  protected:
    CSingleObjectFactory() = default;
    ~CSingleObjectFactory() = default;

  private:
    Microsoft::WRL::ComPtr<IUnknown> object_;
};

struct CameraCall {
    enum class Kind { Move, Command, StartSession, Menu, Query, GetAddress, EndMotion, Terminate };
    Kind kind;
    SHORT pan = 0, tilt = 0, zoom = 0, focus = 0, iris = 0;
    LONG value = 0;  // the command, menu command or Terminate's flag
    INT_PTR arg = 0;
    bool nullOutput = false;  // an output pointer came as null
    std::chrono::steady_clock::time_point at;
};

class CRecordingCamera : public CK47ComObjectRoot, public IK47PTZCamera, public IK47Terminate {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();
    static Microsoft::WRL::ComPtr<IUnknown> Create(CRecordingCamera** object);

    void SetResult(CameraCall::Kind kind, HRESULT result);
    void SetFunctions(PTZFUNCTION functions, ULONG presets);

    std::vector<CameraCall> Calls() const;
    std::vector<CameraCall> Calls(CameraCall::Kind kind) const;
    void ClearCalls();
    bool WaitFor(const std::function<bool(const std::vector<CameraCall>&)>& predicate,
                 std::chrono::milliseconds timeout) const;

    // IK47PTZCamera
    HRESULT STDMETHODCALLTYPE MoveRelative(SHORT pan, SHORT tilt, SHORT zoom, SHORT focus,
                                           SHORT iris) override;
    HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND cmd, INT_PTR arg) override;
    HRESULT STDMETHODCALLTYPE StartRemoteSession(ULONG* pIpv4Addr, USHORT* pPort) override;
    HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND cmd) override;
    HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION* pFunc, ULONG* pPresetCount) override;
    HRESULT STDMETHODCALLTYPE GetAddress(INT_PTR* pAddress) override;
    HRESULT STDMETHODCALLTYPE EndMotion() override;
    // IK47Terminate
    HRESULT STDMETHODCALLTYPE Terminate(BOOL bShuttingDown) override;

  protected:
    CRecordingCamera() = default;
    ~CRecordingCamera() = default;

  private:
    HRESULT Record(CameraCall call);

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<CameraCall> calls_;
    HRESULT results_[8] = {};
    PTZFUNCTION functions_ = PTZFUNC_MENUOPEN;
    ULONG presets_ = 0;
};

}  // namespace k47test
