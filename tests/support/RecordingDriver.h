// A protocol driver for tests that records every IK47PTZProtocol call with the time it arrived
// and answers with scripted results. AddCamera creates the camera object as a real driver does
// (PTZCameraStub through CoCreateInstance, aggregated into the caller's outer object, initialised
// with a CameraInitData record) unless a test installs another camera factory, for example
// FakeCameraFactory() below. Thread-safe; tests wait for calls with WaitForCalls.
#pragma once

#include <wrl/client.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

namespace k47test {

struct DriverCall {
    enum class Kind { AddCamera, Move, Command, Menu, Query };
    Kind kind;
    INT_PTR address = 0;
    SHORT pan = 0, tilt = 0, zoom = 0, focus = 0, iris = 0;
    int command = 0;
    INT_PTR arg = 0;
    std::u16string name;
    std::chrono::steady_clock::time_point at;

    bool IsStop() const {
        return kind == Kind::Move && pan == 0 && tilt == 0 && zoom == 0 && focus == 0 && iris == 0;
    }
};

// Creates the inner camera object for AddCamera: (name, element, outer, driver, *inner).
using CameraFactory = std::function<HRESULT(BSTR name, IXMLDOMElement* element, IUnknown* outer,
                                            IUnknown* driver, IUnknown** inner)>;

class CRecordingDriver : public CK47ComObjectRoot, public IK47PTZProtocol {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();
    static Microsoft::WRL::ComPtr<IK47PTZProtocol> Create(CRecordingDriver** object);

    // The host handed to new cameras (not counted) and the port service they get.
    void SetOwner(IUnknown* owner);
    void SetPortService(IUnknown* portService);
    void SetCameraFactory(CameraFactory factory);
    void SetResult(DriverCall::Kind kind, HRESULT result);
    void SetFunctions(PTZFUNCTION functions, ULONG presets);
    // Called inside every control call (after it was recorded), on the caller's thread.
    void SetCallHook(std::function<void(const DriverCall&)> hook);

    std::vector<DriverCall> Calls() const;
    std::vector<DriverCall> Calls(DriverCall::Kind kind) const;
    size_t Count(DriverCall::Kind kind) const;
    size_t StopCount() const;
    void ClearCalls();
    // Waits until `predicate` holds over the recorded calls, or the timeout passes.
    bool WaitFor(const std::function<bool(const std::vector<DriverCall>&)>& predicate,
                 std::chrono::milliseconds timeout) const;
    bool WaitForStops(size_t count, std::chrono::milliseconds timeout) const;

    // IK47PTZProtocol
    HRESULT STDMETHODCALLTYPE AddCamera(BSTR name, IXMLDOMElement* pElement, IUnknown* pOuterUnk,
                                        IUnknown** ppCamera) override;
    HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom,
                                           SHORT focus, SHORT iris) override;
    HRESULT STDMETHODCALLTYPE Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) override;
    HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) override;
    HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR address, PTZFUNCTION* pFunc,
                                             ULONG* pPresetCount) override;

    void FinalRelease();

  protected:
    CRecordingDriver() = default;
    ~CRecordingDriver() = default;

  private:
    HRESULT Record(DriverCall call);

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<DriverCall> calls_;
    HRESULT results_[5] = {S_OK, S_OK, S_OK, S_OK, S_OK};
    PTZFUNCTION functions_ = static_cast<PTZFUNCTION>(0x1A);
    ULONG presets_ = 15;
    IUnknown* owner_ = nullptr;
    Microsoft::WRL::ComPtr<IUnknown> port_service_;
    CameraFactory factory_;
    std::function<void(const DriverCall&)> hook_;
};

// The real camera object (PTZCameraStub) made and initialised the way a serial driver does.
HRESULT CreateRealCamera(BSTR name, IXMLDOMElement* element, IUnknown* outer, IUnknown* driver,
                         IUnknown* owner, IUnknown* portService, IUnknown** inner);

// A stand-in camera object for tests of the binding alone: aggregatable, answers IK47PTZCamera
// (GetAddress gives the element's "Address" or 0) and IK47Terminate, and counts in `record`.
struct FakeCameraRecord {
    std::mutex lock;
    int alive = 0;
    int created = 0;
    int terminated = 0;
    std::vector<std::u16string> names;
};
CameraFactory FakeCameraFactory(std::shared_ptr<FakeCameraRecord> record);

}  // namespace k47test
