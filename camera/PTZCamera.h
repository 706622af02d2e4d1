// CPTZCameraWrapper, the class behind PTZCamera: the host's handle on one configured camera. It
// binds itself to the driver object the host made for the camera's protocol and has that driver
// create the camera object aggregated into it; from then on every interface but its own two
// (IK47ObjectConfiguration, IK47Terminate) is answered by the camera object (blind aggregation).
//
// Threading: Initialize, Reconfigure and Terminate are called by the host one at a time; camera
// calls through the wrapper go straight to the aggregated camera object, which serialises them.
// The inner-camera pointer is read by QueryInterface on any thread, so it is swapped under the
// object's critical section; the driver's AddCamera writes it directly, under that same section.
#pragma once

#include <atlbase.h>
#include <wrl/client.h>

#include <span>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

class CPTZCameraWrapper : public CK47ComObjectRoot,
                          public IK47ObjectConfiguration,
                          public IK47Terminate {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    // IK47ObjectConfiguration. pInitData is the camera's name as a BSTR.
    HRESULT STDMETHODCALLTYPE Initialize(IXMLDOMElement* pElement, IUnknown* pOwner,
                                         ULONG_PTR pInitData) override;
    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement* pElement) override;
    HRESULT STDMETHODCALLTYPE MakeDefault(IXMLDOMElement* pElement) override;

    // IK47Terminate
    HRESULT STDMETHODCALLTYPE Terminate(BOOL bShuttingDown) override;

    void FinalRelease();

  protected:
    CPTZCameraWrapper() = default;
    ~CPTZCameraWrapper() = default;

  private:
    static HRESULT ForwardToCamera(void* self, REFIID riid, void** ppv);
    Microsoft::WRL::ComPtr<IUnknown> InnerCamera();
    void SetInnerCamera(Microsoft::WRL::ComPtr<IUnknown> camera);
    HRESULT AddCameraInto(IK47PTZProtocol* driver, IXMLDOMElement* pElement);

    // The object's critical section for a scope.
    class ObjectLock {
      public:
        explicit ObjectLock(CPTZCameraWrapper& object) : m_object(object) { m_object.Lock(); }
        ~ObjectLock() { m_object.Unlock(); }
        ObjectLock(const ObjectLock&) = delete;
        ObjectLock& operator=(const ObjectLock&) = delete;

      private:
        CPTZCameraWrapper& m_object;
    };

    Microsoft::WRL::ComPtr<IUnknown> m_innerCamera;  // the aggregated camera's own IUnknown
    IUnknown* m_owner = nullptr;                     // the host; not counted
    CComBSTR m_cameraName;
};
