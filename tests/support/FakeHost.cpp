// Fakes of the host's interfaces.
#include "tests/support/FakeHost.h"

#include <atlbase.h>
#include <k47/strings.h>

using Microsoft::WRL::ComPtr;

namespace k47test {

std::u16string BstrText(BSTR text) {
    return text == nullptr ? std::u16string() : std::u16string(text, SysStringLen(text));
}

namespace {

std::string VariantText(const VARIANT& value) {
    switch (value.vt) {
        case VT_EMPTY:
            return "EMPTY";
        case VT_NULL:
            return "NULL";
        case VT_I4:
            return "I4:" + std::to_string(value.lVal);
        case VT_BSTR:
            return "BSTR:" + k47::Utf16ToUtf8(BstrText(value.bstrVal));
        default:
            return "VT" + std::to_string(value.vt);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CFakeVariable

std::span<const K47InterfaceEntry> CFakeVariable::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {K47Entry<CFakeVariable, IK47Variable>()};
    static_assert(K47ValidTable(kTable));
    return kTable;
}

HRESULT STDMETHODCALLTYPE CFakeVariable::Advise(IK47EventSink* pSink, DWORD* pCookie) {
    if (pSink == nullptr || pCookie == nullptr)
        return E_POINTER;
    // Held as a host holds it: by asking the sink's identity for the interface, which an
    // aggregated camera answers through its outer object while it is still being set up.
    ComPtr<IK47EventSink> sink;
    HRESULT hr =
        pSink->QueryInterface(IID_IK47EventSink, reinterpret_cast<void**>(sink.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> guard(lock_);
    *pCookie = next_cookie_++;
    sinks_[*pCookie] = std::move(sink);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakeVariable::Unadvise(DWORD cookie) {
    ComPtr<IK47EventSink> released;
    std::lock_guard<std::mutex> guard(lock_);
    unadvised_.push_back(cookie);
    auto it = sinks_.find(cookie);
    if (it == sinks_.end())
        return E_INVALIDARG;
    released = std::move(it->second);
    sinks_.erase(it);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakeVariable::SetValue(VARIANT value) {
    std::vector<ComPtr<IK47EventSink>> sinks;
    {
        std::lock_guard<std::mutex> guard(lock_);
        HRESULT hr = VariantCopy(&value_, &value);
        if (FAILED(hr))
            return hr;
        history_.push_back(VariantText(value));
        for (auto& entry : sinks_)
            sinks.push_back(entry.second);
    }
    // Sinks are called outside the lock: they read the value back with GetValue.
    for (auto& sink : sinks) {
        HRESULT result = sink->OnEvent(0);
        std::lock_guard<std::mutex> guard(lock_);
        sink_results_.push_back(result);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakeVariable::GetValue(VARIANT* pValue) {
    if (pValue == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    return VariantCopy(pValue, &value_);
}

std::vector<std::string> CFakeVariable::History() const {
    std::lock_guard<std::mutex> guard(lock_);
    return history_;
}

std::vector<HRESULT> CFakeVariable::SinkResults() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sink_results_;
}

size_t CFakeVariable::SinkCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sinks_.size();
}

std::vector<DWORD> CFakeVariable::Unadvised() const {
    std::lock_guard<std::mutex> guard(lock_);
    return unadvised_;
}

void CFakeVariable::FinalRelease() {
    VariantClear(&value_);
    sinks_.clear();
}

// ---------------------------------------------------------------------------------------------
// CFakePortService

std::span<const K47InterfaceEntry> CFakePortService::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {K47Entry<CFakePortService, IK47PortService>()};
    static_assert(K47ValidTable(kTable));
    return kTable;
}

ComPtr<IK47PortService> CFakePortService::Create(CFakePortService** object) {
    ComPtr<IUnknown> identity;
    if (FAILED(K47CreateInstance<CFakePortService>(identity.GetAddressOf(), object)))
        return nullptr;
    return ComPtr<IK47PortService>(static_cast<IK47PortService*>(*object));
}

HRESULT STDMETHODCALLTYPE CFakePortService::AllocatePort(USHORT* pPort) {
    std::lock_guard<std::mutex> guard(lock_);
    if (ports_.empty())
        return failure_;
    *pPort = ports_.front();
    ports_.erase(ports_.begin());
    allocated_.push_back(*pPort);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakePortService::ReleasePort(USHORT port) {
    std::lock_guard<std::mutex> guard(lock_);
    released_.push_back(port);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakePortService::IsEnabled() {
    std::lock_guard<std::mutex> guard(lock_);
    return enabled_ ? 1 : 0;
}

void CFakePortService::SetEnabled(bool enabled) {
    std::lock_guard<std::mutex> guard(lock_);
    enabled_ = enabled;
}

void CFakePortService::SetPorts(std::vector<USHORT> ports, HRESULT failure) {
    std::lock_guard<std::mutex> guard(lock_);
    ports_ = std::move(ports);
    failure_ = failure;
}

std::vector<USHORT> CFakePortService::Allocated() const {
    std::lock_guard<std::mutex> guard(lock_);
    return allocated_;
}

std::vector<USHORT> CFakePortService::Released() const {
    std::lock_guard<std::mutex> guard(lock_);
    return released_;
}

// ---------------------------------------------------------------------------------------------
// CFakeHost

std::span<const K47InterfaceEntry> CFakeHost::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CFakeHost, IK47ObjectServer>(),
        K47ForwardEntry(&IID_IK47VariableStore, &CFakeHost::QueryVariableStore),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

HRESULT CFakeHost::QueryVariableStore(void* self, REFIID, void** ppv) {
    auto* host = static_cast<CFakeHost*>(self);
    {
        std::lock_guard<std::mutex> guard(host->lock_);
        if (!host->variable_store_)
            return E_NOINTERFACE;
    }
    auto* store = static_cast<IK47VariableStore*>(host);
    store->AddRef();
    *ppv = store;
    return S_OK;
}

ComPtr<IUnknown> CFakeHost::Create(CFakeHost** object) {
    ComPtr<IUnknown> identity;
    if (FAILED(K47CreateInstance<CFakeHost>(identity.GetAddressOf(), object)))
        return nullptr;
    return identity;
}

void CFakeHost::AddPath(const std::u16string& path, IUnknown* object) {
    std::lock_guard<std::mutex> guard(lock_);
    paths_[path] = object;
}

void CFakeHost::AddName(const std::u16string& name, IUnknown* object) {
    std::lock_guard<std::mutex> guard(lock_);
    names_[name] = object;
}

void CFakeHost::AddObjectName(const std::u16string& name, const std::u16string& result) {
    std::lock_guard<std::mutex> guard(lock_);
    object_names_[name] = result;
}

void CFakeHost::SetStatus(HRESULT status) {
    std::lock_guard<std::mutex> guard(lock_);
    status_ = status;
}

void CFakeHost::SetVariableStore(bool present) {
    std::lock_guard<std::mutex> guard(lock_);
    variable_store_ = present;
}

std::vector<CFakeHost::LookupCall> CFakeHost::LookupCalls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lookups_;
}

std::vector<std::u16string> CFakeHost::ObjectNameCalls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return object_name_calls_;
}

int CFakeHost::StatusChecks() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_checks_;
}

CFakeVariable* CFakeHost::Variable(const std::u16string& name) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = variables_.find(name);
    return it == variables_.end() ? nullptr : it->second.second;
}

std::vector<std::u16string> CFakeHost::VariableNames() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::u16string> names;
    for (const auto& entry : variables_)
        names.push_back(entry.first);
    return names;
}

HRESULT STDMETHODCALLTYPE CFakeHost::LookupObject(BSTR name, BSTR path, IUnknown** ppObject) {
    if (ppObject == nullptr)
        return E_POINTER;
    *ppObject = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    lookups_.push_back({name != nullptr, BstrText(name), path != nullptr, BstrText(path)});
    const ComPtr<IUnknown>* found = nullptr;
    if (name == nullptr && path != nullptr) {
        auto it = paths_.find(BstrText(path));
        if (it != paths_.end())
            found = &it->second;
    } else if (name != nullptr) {
        std::u16string key = BstrText(name);
        if (path != nullptr)
            key += u"/" + BstrText(path);
        auto it = names_.find(key);
        if (it != names_.end())
            found = &it->second;
    }
    if (found == nullptr || !*found)
        return missing_;
    return found->CopyTo(ppObject);
}

HRESULT STDMETHODCALLTYPE CFakeHost::StatusCheck() {
    std::lock_guard<std::mutex> guard(lock_);
    ++status_checks_;
    return status_;
}

HRESULT STDMETHODCALLTYPE CFakeHost::GetObjectName(BSTR name, BSTR* pResult) {
    if (pResult == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    object_name_calls_.push_back(BstrText(name));
    *pResult = nullptr;
    auto it = object_names_.find(BstrText(name));
    if (it == object_names_.end())
        return missing_;
    *pResult = SysAllocStringLen(it->second.data(), static_cast<UINT>(it->second.size()));
    return *pResult != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CFakeHost::GetVariable(BSTR name, IK47Variable** ppVariable) {
    if (ppVariable == nullptr)
        return E_POINTER;
    *ppVariable = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    std::u16string key = BstrText(name);
    auto it = variables_.find(key);
    if (it == variables_.end()) {
        ComPtr<IUnknown> identity;
        CFakeVariable* variable = nullptr;
        HRESULT hr = K47CreateInstance<CFakeVariable>(identity.GetAddressOf(), &variable);
        if (FAILED(hr))
            return hr;
        it = variables_.emplace(key, std::make_pair(identity, variable)).first;
    }
    IK47Variable* variable = it->second.second;
    variable->AddRef();
    *ppVariable = variable;
    return S_OK;
}

void CFakeHost::FinalRelease() {
    paths_.clear();
    names_.clear();
    variables_.clear();
}

}  // namespace k47test
