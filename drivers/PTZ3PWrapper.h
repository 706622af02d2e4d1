// CPTZ3PWrapper, the class behind PTZ3PWrapper: lets a separately supplied driver object
// (IPTZ3PDriver, received in the PTZ3PInitData record of Initialize) serve the cameras of a
// protocol element. The wrapper creates and initialises the camera objects itself, exactly as the
// serial drivers do, and passes every other call on to the supplied driver with its arguments and
// result unchanged. It opens no port and builds no frame.
//
// Every call into the supplied driver runs under the two handlers: an exception escaping it is
// logged and becomes its HRESULT (E_FAIL for anything outside the runtime library's exceptions).
//
// Threading: the wrapper holds no lock across a driver call; calls reach the driver on whatever
// thread they arrive, and the driver serialises itself. The two references are swapped under the
// object's critical section so that a call racing a new Initialize uses one consistent driver.
//
// Lifetime: the driver and the camera init data are counted references, released when the
// wrapper goes (the driver's Terminate is not called then); the owner is kept without one.
#pragma once

#include <wrl/client.h>

#include <span>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

class CPTZ3PWrapper : public CK47ComObjectRoot,
                      public IK47PTZProtocol,
                      public IK47ObjectConfiguration,
                      public IK47Terminate {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    // IK47ObjectConfiguration. pInitData points to a PTZ3PInitData record with a driver;
    // E_INVALIDARG for a null pointer or a null driver.
    HRESULT STDMETHODCALLTYPE Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                         ULONG_PTR pInitData) override;
    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement* pElement) override;
    HRESULT STDMETHODCALLTYPE MakeDefault(IXMLDOMElement* pElement) override;

    // IK47Terminate: the driver's Terminate (the flag is not passed on).
    HRESULT STDMETHODCALLTYPE Terminate(BOOL bShuttingDown) override;

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
    CPTZ3PWrapper() = default;
    ~CPTZ3PWrapper() = default;

  private:
    Microsoft::WRL::ComPtr<IPTZ3PDriver> Driver();
    // The creation sequence of AddCamera; every failure is returned.
    HRESULT CreateCamera(BSTR name, IXMLDOMElement* pElement, IUnknown* pOuterUnk,
                         IUnknown** ppCamera, IPTZ3PDriver* driver);

    // Fields, in order.
    Microsoft::WRL::ComPtr<IPTZ3PDriver> m_driver;
    IUnknown* m_owner = nullptr;  // not counted
    Microsoft::WRL::ComPtr<IUnknown> m_cameraInitData;
};
