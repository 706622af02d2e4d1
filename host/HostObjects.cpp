// The host's object server, variable store, variables and port service.
#include "host/HostObjects.h"

#include <libxml/tree.h>
#include <k47/strings.h>

using Microsoft::WRL::ComPtr;

namespace k47host {

namespace {

std::u16string Text(BSTR text) {
    return text == nullptr ? std::u16string() : std::u16string(text, SysStringLen(text));
}

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

}  // namespace

// ---------------------------------------------------------------------------------------------
// CHostPortService

std::span<const K47InterfaceEntry> CHostPortService::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CHostPortService, IK47PortService>(),
        K47Entry<CHostPortService, IK47SessionAddress>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

ComPtr<IK47PortService> CHostPortService::Create(USHORT first, USHORT last, ULONG sessionAddress) {
    ComPtr<IUnknown> identity;
    CHostPortService* object = nullptr;
    if (FAILED(K47CreateInstance<CHostPortService>(identity.GetAddressOf(), &object)))
        return nullptr;
    object->first_ = first;
    object->last_ = first == 0 ? 0 : last;
    object->next_ = first;
    object->session_address_ = sessionAddress;
    return ComPtr<IK47PortService>(static_cast<IK47PortService*>(object));
}

HRESULT STDMETHODCALLTYPE CHostPortService::AllocatePort(USHORT* pPort) {
    if (pPort == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    if (first_ == 0)
        return E_UNEXPECTED;
    // Round robin over the range, so a port just given back is not handed out again at once.
    const unsigned count = static_cast<unsigned>(last_ - first_) + 1;
    for (unsigned i = 0; i < count; ++i) {
        USHORT candidate = next_;
        next_ = (next_ == last_) ? first_ : static_cast<USHORT>(next_ + 1);
        if (in_use_.insert(candidate).second) {
            *pPort = candidate;
            return S_OK;
        }
    }
    return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
}

HRESULT STDMETHODCALLTYPE CHostPortService::ReleasePort(USHORT port) {
    std::lock_guard<std::mutex> guard(lock_);
    return in_use_.erase(port) == 1 ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE CHostPortService::GetSessionAddress(ULONG* pIpv4Addr) {
    if (pIpv4Addr == nullptr)
        return E_POINTER;
    *pIpv4Addr = session_address_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CHostPortService::IsEnabled() {
    std::lock_guard<std::mutex> guard(lock_);
    return first_ != 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// CHostVariable

std::span<const K47InterfaceEntry> CHostVariable::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {K47Entry<CHostVariable, IK47Variable>()};
    static_assert(K47ValidTable(kTable));
    return kTable;
}

HRESULT STDMETHODCALLTYPE CHostVariable::Advise(IK47EventSink* pSink, DWORD* pCookie) {
    if (pSink == nullptr || pCookie == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    *pCookie = next_cookie_++;
    sinks_[*pCookie] = pSink;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CHostVariable::Unadvise(DWORD cookie) {
    ComPtr<IK47EventSink> released;  // released after the lock
    std::lock_guard<std::mutex> guard(lock_);
    auto it = sinks_.find(cookie);
    if (it == sinks_.end())
        return E_INVALIDARG;
    released = std::move(it->second);
    sinks_.erase(it);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CHostVariable::SetValue(VARIANT value) {
    std::vector<ComPtr<IK47EventSink>> sinks;
    {
        std::lock_guard<std::mutex> guard(lock_);
        HRESULT hr = VariantCopy(&value_, &value);
        if (FAILED(hr))
            return hr;
        for (auto& entry : sinks_)
            sinks.push_back(entry.second);
    }
    for (auto& sink : sinks)
        sink->OnEvent(0);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CHostVariable::GetValue(VARIANT* pValue) {
    if (pValue == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    VariantInit(pValue);
    return VariantCopy(pValue, &value_);
}

void CHostVariable::FinalRelease() {
    VariantClear(&value_);
    sinks_.clear();
}

// ---------------------------------------------------------------------------------------------
// CInstallationServer

std::span<const K47InterfaceEntry> CInstallationServer::GetInterfaceTable() {
    static constexpr K47InterfaceEntry kTable[] = {
        K47Entry<CInstallationServer, IK47ObjectServer>(),
        K47Entry<CInstallationServer, IK47VariableStore>(),
    };
    static_assert(K47ValidTable(kTable));
    return kTable;
}

ComPtr<IUnknown> CInstallationServer::Create(k47::XmlDocument document,
                                             CInstallationServer** object) {
    ComPtr<IUnknown> identity;
    if (FAILED(K47CreateInstance<CInstallationServer>(identity.GetAddressOf(), object)))
        return nullptr;
    (*object)->document_ = std::move(document);
    return identity;
}

void CInstallationServer::AddProtocol(xmlNode* element, const std::u16string& name,
                                      IUnknown* driver) {
    std::lock_guard<std::mutex> guard(lock_);
    protocols_[name] = Entry{element, driver};
    by_element_[element] = driver;
}

void CInstallationServer::AddCamera(xmlNode* element, const std::u16string& name,
                                    IUnknown* wrapper) {
    std::lock_guard<std::mutex> guard(lock_);
    cameras_[name] = Entry{element, wrapper};
    by_element_[element] = wrapper;
}

void CInstallationServer::SetDefaultProtocol(const std::u16string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    default_protocol_ = name;
}

void CInstallationServer::SetShuttingDown() {
    std::lock_guard<std::mutex> guard(lock_);
    shutting_down_ = true;
}

HRESULT CInstallationServer::FindCamera(const std::u16string& name, IK47PTZCamera** camera) {
    ComPtr<IUnknown> wrapper;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = cameras_.find(name);
        if (it == cameras_.end() || !it->second.object)
            return kNotFound;
        wrapper = it->second.object;
    }
    return wrapper->QueryInterface(IID_IK47PTZCamera, reinterpret_cast<void**>(camera));
}

std::vector<ComPtr<IUnknown>> CInstallationServer::Cameras() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<ComPtr<IUnknown>> result;
    for (auto& entry : cameras_)
        if (entry.second.object)
            result.push_back(entry.second.object);
    return result;
}

std::vector<std::vector<CInstallationServer::NamedCamera>>
CInstallationServer::CamerasByProtocol() {
    struct Found {
        std::u16string protocol;
        std::u16string name;
        ComPtr<IUnknown> wrapper;
    };
    std::vector<Found> found;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& [name, entry] : cameras_) {
            if (!entry.object)
                continue;
            // As GetObjectName resolves it for the camera wrapper's binding.
            std::optional<std::string> protocol = document_.GetAttribute(entry.element, "Protocol");
            found.push_back(Found{protocol ? k47::Utf8ToUtf16(*protocol) : default_protocol_, name,
                                  entry.object});
        }
    }
    std::map<std::u16string, std::vector<NamedCamera>> groups;
    for (Found& camera : found) {
        NamedCamera named{std::move(camera.name), nullptr};
        if (SUCCEEDED(camera.wrapper.As(&named.camera)))
            groups[camera.protocol].push_back(std::move(named));
    }
    std::vector<std::vector<NamedCamera>> result;
    for (auto& group : groups)
        result.push_back(std::move(group.second));
    return result;
}

std::vector<ComPtr<IUnknown>> CInstallationServer::Protocols() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<ComPtr<IUnknown>> result;
    for (auto& entry : protocols_)
        if (entry.second.object)
            result.push_back(entry.second.object);
    return result;
}

std::vector<CInstallationServer::ListedProtocol> CInstallationServer::ListProtocols() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<ListedProtocol> result;
    for (auto& [name, entry] : protocols_) {
        if (!entry.object)
            continue;
        result.push_back(ListedProtocol{
            name, document_.GetAttribute(entry.element, "ProgID").value_or(""),
            document_.GetAttribute(entry.element, "COMPort").value_or(""), entry.object});
    }
    return result;
}

std::vector<CInstallationServer::ListedCamera> CInstallationServer::ListCameras() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<ListedCamera> result;
    for (auto& [name, entry] : cameras_) {
        if (!entry.object)
            continue;
        std::optional<std::string> protocol = document_.GetAttribute(entry.element, "Protocol");
        result.push_back(ListedCamera{
            name, protocol ? k47::Utf8ToUtf16(*protocol) : default_protocol_, entry.object});
    }
    return result;
}

void CInstallationServer::ReleaseObjects() {
    std::map<std::u16string, Entry> cameras, protocols;
    std::map<const xmlNode*, ComPtr<IUnknown>> byElement;
    std::map<std::u16string, ComPtr<IUnknown>> variables;
    {
        std::lock_guard<std::mutex> guard(lock_);
        cameras.swap(cameras_);
        protocols.swap(protocols_);
        byElement.swap(by_element_);
        variables.swap(variables_);
    }
    // Cameras first: their final release may still call their driver.
    byElement.clear();
    cameras.clear();
    protocols.clear();
    variables.clear();
}

HRESULT STDMETHODCALLTYPE CInstallationServer::LookupObject(BSTR name, BSTR path,
                                                            IUnknown** ppObject) {
    if (ppObject == nullptr)
        return E_POINTER;
    *ppObject = nullptr;
    if (name == nullptr && path == nullptr)
        return E_INVALIDARG;
    ComPtr<IUnknown> found;
    if (name == nullptr) {
        // An XPath relative to the installation's document element.
        std::vector<xmlNode*> nodes;
        k47::XmlError error;
        if (!document_.SelectNodes(k47::Utf16ToUtf8(Text(path)), &nodes, &error))
            return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
        std::lock_guard<std::mutex> guard(lock_);
        for (xmlNode* node : nodes) {
            auto it = by_element_.find(node);
            if (it != by_element_.end() && it->second) {
                found = it->second;
                break;
            }
        }
    } else {
        std::u16string key = Text(name);
        std::lock_guard<std::mutex> guard(lock_);
        if (path == nullptr) {
            auto protocol = protocols_.find(key);
            if (protocol != protocols_.end()) {
                found = protocol->second.object;
            } else {
                auto camera = cameras_.find(key);
                if (camera != cameras_.end())
                    found = camera->second.object;
            }
        } else if (Text(path) == u"PTZ") {
            auto camera = cameras_.find(key);
            if (camera != cameras_.end())
                found = camera->second.object;
        }
    }
    if (!found)
        return kNotFound;
    *ppObject = found.Detach();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CInstallationServer::StatusCheck() {
    std::lock_guard<std::mutex> guard(lock_);
    return shutting_down_ ? S_FALSE : S_OK;
}

HRESULT STDMETHODCALLTYPE CInstallationServer::GetObjectName(BSTR name, BSTR* pResult) {
    if (pResult == nullptr)
        return E_POINTER;
    *pResult = nullptr;
    // The name stands for the protocol of the camera so named: its "Protocol" attribute taken
    // literally (so a name the query cannot carry still binds), else the default protocol.
    std::u16string protocol;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto camera = cameras_.find(Text(name));
        if (camera == cameras_.end())
            return kNotFound;
        std::optional<std::string> attribute =
            document_.GetAttribute(camera->second.element, "Protocol");
        protocol = attribute ? k47::Utf8ToUtf16(*attribute) : default_protocol_;
    }
    if (protocol.empty())
        return kNotFound;
    *pResult = SysAllocStringLen(protocol.data(), static_cast<UINT>(protocol.size()));
    return *pResult != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CInstallationServer::GetVariable(BSTR name, IK47Variable** ppVariable) {
    if (ppVariable == nullptr)
        return E_POINTER;
    *ppVariable = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    std::u16string key = Text(name);
    auto it = variables_.find(key);
    if (it == variables_.end()) {
        ComPtr<IUnknown> identity;
        CHostVariable* variable = nullptr;
        HRESULT hr = K47CreateInstance<CHostVariable>(identity.GetAddressOf(), &variable);
        if (FAILED(hr))
            return hr;
        it = variables_.emplace(key, identity).first;
    }
    return it->second->QueryInterface(IID_IK47Variable, reinterpret_cast<void**>(ppVariable));
}

void CInstallationServer::FinalRelease() {
    ReleaseObjects();
}

}  // namespace k47host
