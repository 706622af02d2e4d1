// Fakes of the host's interfaces for tests:
//   CFakeHost        — IK47ObjectServer (scripted lookups by path and by name, recorded calls,
//                      scripted StatusCheck) and IK47VariableStore (variables made on demand).
//   CFakeVariable    — IK47Variable: records every SetValue, calls the advised sinks on each change
//                      (on the caller's thread), records their results.
//   CFakePortService — IK47PortService: hands out scripted ports, records releases.
// All are thread-safe (one mutex each) and created with Create(), which returns the concrete
// object alongside its counted identity.
#pragma once

#include <wrl/client.h>

#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"

namespace k47test {

class CFakeVariable : public CK47ComObjectRoot, public IK47Variable {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    HRESULT STDMETHODCALLTYPE Advise(IK47EventSink* pSink, DWORD* pCookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE SetValue(VARIANT value) override;
    HRESULT STDMETHODCALLTYPE GetValue(VARIANT* pValue) override;

    // Values passed to SetValue so far (as text, "I4:0", "BSTR:abc", ...).
    std::vector<std::string> History() const;
    std::vector<HRESULT> SinkResults() const;
    size_t SinkCount() const;
    std::vector<DWORD> Unadvised() const;
    void FinalRelease();

  protected:
    CFakeVariable() = default;
    ~CFakeVariable() = default;

  private:
    mutable std::mutex lock_;
    VARIANT value_{};
    std::map<DWORD, Microsoft::WRL::ComPtr<IK47EventSink>> sinks_;
    DWORD next_cookie_ = 1;
    std::vector<std::string> history_;
    std::vector<HRESULT> sink_results_;
    std::vector<DWORD> unadvised_;
};

class CFakePortService : public CK47ComObjectRoot, public IK47PortService {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();
    static Microsoft::WRL::ComPtr<IK47PortService> Create(CFakePortService** object);

    HRESULT STDMETHODCALLTYPE AllocatePort(USHORT* pPort) override;
    HRESULT STDMETHODCALLTYPE ReleasePort(USHORT port) override;
    HRESULT STDMETHODCALLTYPE IsEnabled() override;

    void SetEnabled(bool enabled);
    // Ports AllocatePort hands out, in order; when none is left it fails with `failure`.
    void SetPorts(std::vector<USHORT> ports, HRESULT failure = E_FAIL);
    std::vector<USHORT> Allocated() const;
    std::vector<USHORT> Released() const;

  protected:
    CFakePortService() = default;
    ~CFakePortService() = default;

  private:
    mutable std::mutex lock_;
    bool enabled_ = true;
    std::vector<USHORT> ports_;
    HRESULT failure_ = E_FAIL;
    std::vector<USHORT> allocated_;
    std::vector<USHORT> released_;
};

class CFakeHost : public CK47ComObjectRoot, public IK47ObjectServer, public IK47VariableStore {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();
    static Microsoft::WRL::ComPtr<IUnknown> Create(CFakeHost** object);

    struct LookupCall {
        bool hasName;
        std::u16string name;
        bool hasPath;
        std::u16string path;
    };

    // Scripting. A lookup by path (name null) finds the object registered for that exact path; a
    // lookup by name (path null) the one registered for the name; a name and a path the one
    // registered for name + "/" + path. Anything else fails with ERROR_NOT_FOUND.
    void AddPath(const std::u16string& path, IUnknown* object);
    void AddName(const std::u16string& name, IUnknown* object);
    void AddObjectName(const std::u16string& name, const std::u16string& result);
    void SetStatus(HRESULT status);
    // Makes the object answer IK47VariableStore or not (a host without a variable store).
    void SetVariableStore(bool present);

    std::vector<LookupCall> LookupCalls() const;
    std::vector<std::u16string> ObjectNameCalls() const;
    int StatusChecks() const;
    // The variable of that name (made on first use); null when none was asked for.
    CFakeVariable* Variable(const std::u16string& name) const;
    std::vector<std::u16string> VariableNames() const;

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
    CFakeHost() = default;
    ~CFakeHost() = default;

  private:
    static HRESULT QueryVariableStore(void* self, REFIID riid, void** ppv);

    mutable std::mutex lock_;
    std::map<std::u16string, Microsoft::WRL::ComPtr<IUnknown>> paths_;
    std::map<std::u16string, Microsoft::WRL::ComPtr<IUnknown>> names_;
    std::map<std::u16string, std::u16string> object_names_;
    const HRESULT missing_ = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    HRESULT status_ = S_OK;
    bool variable_store_ = true;
    std::vector<LookupCall> lookups_;
    std::vector<std::u16string> object_name_calls_;
    int status_checks_ = 0;
    std::map<std::u16string, std::pair<Microsoft::WRL::ComPtr<IUnknown>, CFakeVariable*>>
        variables_;
};

// The text of a BSTR (empty for null).
std::u16string BstrText(BSTR text);

}  // namespace k47test
