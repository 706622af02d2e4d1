// The host's implementations of the interfaces the library calls back:
//   CHostPortService       — IK47PortService over a configured range of UDP ports, and
//                            IK47SessionAddress: where the cameras' session sockets listen.
//   CHostVariable          — IK47Variable: a value and the sinks advised on it.
//   CInstallationServer    — IK47ObjectServer and IK47VariableStore for one installation: finds
//                            the objects created for elements of the installation document.
// Thread-safety: every method may be called from any thread (the control service's threads, the
// cameras' workers, the main thread); each object guards its state with one mutex, and never holds
// it while calling out (sinks are called outside the variable's lock).
#pragma once

#include <wrl/client.h>
#include <k47/xmldoc.h>

#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

namespace k47host {

class CHostPortService : public CK47ComObjectRoot,
                         public IK47PortService,
                         public IK47SessionAddress {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();
    // A service handing out [first, last]; first = 0 makes a disabled service. Session sockets
    // listen on `sessionAddress` (IPv4, host order; INADDR_ANY: every address).
    static Microsoft::WRL::ComPtr<IK47PortService> Create(USHORT first, USHORT last,
                                                          ULONG sessionAddress);

    HRESULT STDMETHODCALLTYPE AllocatePort(USHORT* pPort) override;
    HRESULT STDMETHODCALLTYPE ReleasePort(USHORT port) override;
    HRESULT STDMETHODCALLTYPE IsEnabled() override;
    HRESULT STDMETHODCALLTYPE GetSessionAddress(ULONG* pIpv4Addr) override;

  protected:
    CHostPortService() = default;
    ~CHostPortService() = default;

  private:
    std::mutex lock_;
    USHORT first_ = 0;
    USHORT last_ = 0;
    USHORT next_ = 0;
    ULONG session_address_ = 0;  // set once by Create
    std::set<USHORT> in_use_;
};

class CHostVariable : public CK47ComObjectRoot, public IK47Variable {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    HRESULT STDMETHODCALLTYPE Advise(IK47EventSink* pSink, DWORD* pCookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE SetValue(VARIANT value) override;
    HRESULT STDMETHODCALLTYPE GetValue(VARIANT* pValue) override;
    void FinalRelease();

  protected:
    CHostVariable() = default;
    ~CHostVariable() = default;

  private:
    std::mutex lock_;
    VARIANT value_{};
    std::map<DWORD, Microsoft::WRL::ComPtr<IK47EventSink>> sinks_;
    DWORD next_cookie_ = 1;
};

class CInstallationServer : public CK47ComObjectRoot,
                            public IK47ObjectServer,
                            public IK47VariableStore {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();
    static Microsoft::WRL::ComPtr<IUnknown> Create(k47::XmlDocument document,
                                                   CInstallationServer** object);

    // Set-up, from the main thread before the objects are used.
    void AddProtocol(xmlNode* element, const std::u16string& name, IUnknown* driver);
    void AddCamera(xmlNode* element, const std::u16string& name, IUnknown* wrapper);
    // The protocol a camera without a usable "Protocol" attribute falls back to (may be empty).
    void SetDefaultProtocol(const std::u16string& name);
    void SetShuttingDown();

    // The camera named `name` (its IK47PTZCamera), or a failure:
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when there is no such camera, E_NOINTERFACE when it is
    // not bound to a driver.
    HRESULT FindCamera(const std::u16string& name, IK47PTZCamera** camera);
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> Cameras();
    // Every bound camera (its IK47PTZCamera) by name, grouped by the protocol its element names
    // ("Protocol", else the default protocol), which is the one it is bound to: the cameras of
    // one group share a line, those of different groups do not. Unbound cameras are left out.
    struct NamedCamera {
        std::u16string name;
        Microsoft::WRL::ComPtr<IK47PTZCamera> camera;
    };
    std::vector<std::vector<NamedCamera>> CamerasByProtocol();
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> Protocols();
    // Every configured protocol and camera in name order, for the host's status: a protocol with
    // its element's ProgID and COMPort, a camera with the protocol its element names ("Protocol",
    // else the default protocol). Objects released at shutdown are left out.
    struct ListedProtocol {
        std::u16string name;
        std::string progId;
        std::string device;  // COMPort, or empty
        Microsoft::WRL::ComPtr<IUnknown> driver;
    };
    struct ListedCamera {
        std::u16string name;
        std::u16string protocol;
        Microsoft::WRL::ComPtr<IUnknown> wrapper;
    };
    std::vector<ListedProtocol> ListProtocols();
    std::vector<ListedCamera> ListCameras();
    // Drops every object reference (after they were terminated).
    void ReleaseObjects();

    // IK47ObjectServer
    HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LookupObject(BSTR name, BSTR path, IUnknown** ppObject) override;
    HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StatusCheck() override;
    HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved15() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetObjectName(BSTR name, BSTR* pResult) override;

    // IK47VariableStore
    HRESULT STDMETHODCALLTYPE GetVariable(BSTR name, IK47Variable** ppVariable) override;

    void FinalRelease();

  protected:
    CInstallationServer() = default;
    ~CInstallationServer() = default;

  private:
    struct Entry {
        xmlNode* element;
        Microsoft::WRL::ComPtr<IUnknown> object;
    };

    std::mutex lock_;
    k47::XmlDocument document_;
    std::map<std::u16string, Entry> protocols_;  // by Name
    std::map<std::u16string, Entry> cameras_;    // by Name
    std::map<const xmlNode*, Microsoft::WRL::ComPtr<IUnknown>> by_element_;
    std::u16string default_protocol_;
    std::map<std::u16string, Microsoft::WRL::ComPtr<IUnknown>> variables_;
    bool shutting_down_ = false;
};

}  // namespace k47host
