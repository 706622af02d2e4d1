// Building an installation from its file.
#include "host/Installation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <libxml/tree.h>

#include <atlbase.h>
#include <k47/errors.h>
#include <k47/strings.h>
#include <k47/unique_fd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>

#include "common/K47Global.h"

using Microsoft::WRL::ComPtr;

namespace k47host {

namespace {

std::string Words(HRESULT hr) {
    return k47::DescribeHresult(hr);
}

// The class object local clients get for CLSID_K47ObjectServer: every instance is the one
// installation server.
class CObjectServerClass : public CK47ComObjectRoot, public IClassFactory {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {
            K47Entry<CObjectServerClass, IClassFactory>()};
        static_assert(K47ValidTable(kTable));
        return kTable;
    }
    void SetServer(IUnknown* server) { server_ = server; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;
        return server_->QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  protected:
    CObjectServerClass() = default;
    ~CObjectServerClass() = default;

  private:
    ComPtr<IUnknown> server_;
};

// A decimal integer within [minimum, maximum].
bool ParseNumber(const std::string& text, long minimum, long maximum, long* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum)
        return false;
    *value = parsed;
    return true;
}

// The IPv4 form of a listen address: the address itself, 127.0.0.1 for "::1", the IPv4 address of
// an IPv4-mapped one, INADDR_ANY for "::" and for an IPv6 address of its own (*ipv6Only then
// set). Nothing for a text that is no listen address.
std::optional<uint32_t> Ipv4FormOf(const std::string& listen, bool* ipv6Only) {
    *ipv6Only = false;
    sockaddr_storage address{};
    std::string ignored;
    if (!http::ParseListenAddress(listen, 0, &address, &ignored))
        return std::nullopt;
    if (address.ss_family == AF_INET)
        return ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr);
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&v6))
        return INADDR_LOOPBACK;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        uint32_t v4 = 0;
        std::memcpy(&v4, &v6.s6_addr[12], sizeof(v4));
        return ntohl(v4);
    }
    *ipv6Only = !IN6_IS_ADDR_UNSPECIFIED(&v6);
    return INADDR_ANY;
}

// The camera addresses each built-in driver can put on its line. Past them the address is cut to
// what fits (Pelco-D sends the low 8 bits: 300 reaches camera 44), so the host refuses them.
struct AddressRange {
    const char* progId;
    long first;
    long last;
};
constexpr AddressRange kAddressRanges[] = {
    {"K47PTZ.K47PelcoD", 1, 255},
    {"K47PTZ.K47Panasonic", 1, 99},  // two decimal digits in the frame
    {"K47PTZ.Bosch", 1, 16384},
};

const AddressRange* AddressRangeOf(const std::string& progId) {
    for (const AddressRange& range : kAddressRanges)
        if (progId == range.progId)
            return &range;
    return nullptr;
}

// Children the host reads, by parent; any other element is most likely a misspelling.
bool KnownChild(const std::string& parent, const std::string& child, bool atRoot) {
    if (atRoot)
        return child == "ControlService" || child == "PortService" || child == "PTZProtocols" ||
               child == "Cameras" || child == "Users" || child == "Onvif";
    if (parent == "ControlService" || parent == "Users")
        return child == "User";
    if (parent == "PTZProtocols")
        return child == "Protocol";
    if (parent == "Cameras")
        return child == "Camera";
    return true;  // below these, elements belong to drivers and plug-ins
}

// The attributes read from each element the host knows: by the host itself, and for a Protocol
// or a Camera also by the built-in driver (a serial driver reads its line's settings from the
// Protocol and, Pelco-D, each camera's options from the Camera). Anything else is most likely a
// misspelling that would silently fall back to a default.
struct ElementAttributes {
    const char* element;
    const char* progId;  // nullptr: whatever the driver
    std::initializer_list<std::string_view> names;
};
const ElementAttributes kAttributes[] = {
    {"ControlService",
     nullptr,
     {"Listen", "Port", "Certificate", "Key", "ReportAddress", "DatagramListen", "Allow",
      "MaxConnections", "MaxConnectionsPerClient", "Console"}},
    {"User", nullptr, {"Name", "Password"}},
    {"Users", nullptr, {}},
    {"PortService", nullptr, {"First", "Last"}},
    {"PTZProtocols", nullptr, {"Default"}},
    {"Cameras", nullptr, {}},
    {"Protocol", nullptr, {"Name", "ProgID"}},
    {"Protocol", "K47PTZ.K47PelcoD", {"COMPort", "BaudRate", "Debug", "InitIntervalSec"}},
    {"Protocol", "K47PTZ.K47Panasonic", {"COMPort", "BaudRate", "Debug", "ProtocolVersion"}},
    {"Protocol", "K47PTZ.Bosch", {"COMPort", "BaudRate", "Debug"}},
    {"Onvif",
     nullptr,
     {"Listen", "Discovery", "DefaultTimeout", "MaxTimeout", "PresetFile", "Allow"}},
    {"Camera",
     nullptr,
     {"Name", "Protocol", "Address", "UDPPort", "OnvifPort", "StreamUri", "SnapshotUri",
      "Manufacturer", "Model"}},
    {"Camera", "K47PTZ.K47PelcoD", {"Model", "TurnON", "SetManual", "ExpectAnswer"}},
    {"Camera", "K47PTZ.K47Panasonic", {}},
    {"Camera", "K47PTZ.Bosch", {}},
};

// Whether the attributes of `element` (driven by `progId`, for a Protocol or a Camera) are all
// known; nothing is known of a plug-in's, so every attribute passes there.
bool Checkable(const std::string& element, const std::string& progId) {
    if (element != "Protocol" && element != "Camera")
        return true;
    for (const ElementAttributes& entry : kAttributes)
        if (entry.progId != nullptr && element == entry.element && progId == entry.progId)
            return true;
    return false;
}

bool KnownAttribute(const std::string& element, const std::string& progId,
                    const std::string& attribute) {
    for (const ElementAttributes& entry : kAttributes) {
        if (element != entry.element || (entry.progId != nullptr && progId != entry.progId))
            continue;
        if (std::find(entry.names.begin(), entry.names.end(), attribute) != entry.names.end())
            return true;
    }
    return false;
}

// Whether a UDP socket can be bound on the address (host order) with a port of the system's
// choice: false for an address this machine does not have.
bool CanBindUdp(uint32_t address, int* error) {
    k47::UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        *error = errno;
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

// Binds a TCP socket to `address` and listens, as the control service's listener will, then closes
// it; 0 or the errno of the step that failed.
int ProbeListen(const sockaddr_storage& address) {
    k47::UniqueFd socket(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return errno;
    const int on = 1;
    // As the listener: a port whose last connections linger in TIME_WAIT is free.
    setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    socklen_t length = sizeof(sockaddr_in);
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        // "::" takes both families (the listener's dual stack); another IPv6 address only itself.
        const int v6Only = IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr) ? 0 : 1;
        setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof(v6Only));
        length = sizeof(sockaddr_in6);
    }
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(socket.get(), 1) != 0)
        return errno;
    return 0;
}

std::string Ipv4Text(uint32_t address) {
    in_addr v4{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &v4, text, sizeof(text));
    return text;
}

}  // namespace

Installation::~Installation() {
    Shutdown();
}

bool Installation::Load(const std::string& path, std::string* error) {
    k47::XmlError xmlError;
    document_ = k47::XmlDocument::LoadFile(path, &xmlError);
    if (!document_) {
        // A file that cannot be read is told by the loader ("cannot open PATH: ..."); a file that
        // is no XML, with its line.
        *error = xmlError.line > 0
                     ? "the installation file " + path + " is not well-formed XML at line " +
                           std::to_string(xmlError.line) + ": " + xmlError.message +
                           "; correct it there"
                     : xmlError.message + "; give the installation file with --config";
        return false;
    }
    path_ = path;
    return ReadSettings(error);
}

bool Installation::LoadText(const std::string& text, std::string* error) {
    k47::XmlError xmlError;
    document_ = k47::XmlDocument::LoadString(text, &xmlError);
    if (!document_) {
        *error = "line " + std::to_string(xmlError.line) + ": " + xmlError.message;
        return false;
    }
    return ReadSettings(error);
}

std::string Installation::Where(const xmlNode* element) const {
    // "FILE: <Camera Name="Gate"> at line 12", so that a message leads to the place to mend.
    std::string where =
        (path_.empty() ? "" : path_ + ": ") + "<" + k47::XmlDocument::NodeName(element);
    if (auto name = document_.GetAttribute(element, "Name"))
        where += " Name=\"" + *name + "\"";
    where += "> at line " + std::to_string(xmlGetLineNo(element));
    return where;
}

bool Installation::ReadServiceSettings(xmlNode* node, ControlServiceSettings* settings,
                                       std::string* error) {
    http::HttpServerSettings& server = settings->http;
    long port = 0;
    auto listen = document_.GetAttribute(node, "Listen");
    auto portText = document_.GetAttribute(node, "Port");
    auto certificate = document_.GetAttribute(node, "Certificate");
    auto key = document_.GetAttribute(node, "Key");
    auto report = document_.GetAttribute(node, "ReportAddress");
    auto allow = document_.GetAttribute(node, "Allow");
    if (listen)
        server.listenAddress = *listen;
    if (!portText || !ParseNumber(*portText, 0, 65535, &port)) {
        *error = Where(node) + ": Port must be a number from 0 to 65535";
        return false;
    }
    server.port = static_cast<uint16_t>(port);
    if (certificate.has_value() != key.has_value()) {
        *error = Where(node) + ": HTTPS needs both Certificate and Key";
        return false;
    }
    if (certificate) {
        server.certificateFile = *certificate;
        server.keyFile = *key;
    }
    if (report && *report != "0") {
        in_addr address{};
        if (inet_pton(AF_INET, report->c_str(), &address) != 1) {
            *error = Where(node) + ": ReportAddress must be an IPv4 address or 0";
            return false;
        }
        settings->reportAddress = ntohl(address.s_addr);
    }
    if (auto datagram = document_.GetAttribute(node, "DatagramListen")) {
        in_addr address{};
        if (inet_pton(AF_INET, datagram->c_str(), &address) != 1) {
            *error = Where(node) + ": DatagramListen must be an IPv4 address (\"" + *datagram +
                     "\" is none; the cameras' datagrams are IPv4)";
            return false;
        }
        settings->datagramAddress = ntohl(address.s_addr);
        int bindError = 0;
        if (!CanBindUdp(settings->datagramAddress, &bindError)) {
            *error = Where(node) + ": DatagramListen " + *datagram +
                     " cannot take datagrams here: " + std::system_category().message(bindError);
            return false;
        }
    } else {
        bool ipv6Only = false;
        settings->datagramAddress =
            Ipv4FormOf(server.listenAddress, &ipv6Only).value_or(INADDR_ANY);
        if (ipv6Only)
            Warn(Where(node) + " listens on the IPv6 address " + server.listenAddress +
                 "; the cameras' datagrams are IPv4 and will be taken on every address: name one "
                 "with DatagramListen");
    }
    // Connection limits (docs/host-http.md): an installation whose honest clients share one
    // address (a gateway, many clients on one machine) needs more than the default per address.
    const struct {
        const char* name;
        long minimum;
        unsigned* value;
    } limits[] = {
        {"MaxConnections", 1, &server.limits.connections},
        {"MaxConnectionsPerClient", 0, &server.limits.connectionsPerClient},
    };
    for (const auto& limit : limits) {
        auto text = document_.GetAttribute(node, limit.name);
        long value = 0;
        if (!text)
            continue;
        if (!ParseNumber(*text, limit.minimum, 100000, &value)) {
            *error = Where(node) + ": " + limit.name + " must be a number from " +
                     std::to_string(limit.minimum) + " to 100000";
            return false;
        }
        *limit.value = static_cast<unsigned>(value);
    }
    // The older name is refused rather than ignored: ignored, it would open the service to all.
    if (document_.GetAttribute(node, "AllowFrom")) {
        *error = Where(node) + ": AllowFrom is now called Allow";
        return false;
    }
    if (allow) {
        std::string bad;
        if (!http::ParseAddressPrefixes(*allow, &server.allowedClients, &bad)) {
            *error = Where(node) + ": Allow must list IPv4 or IPv6 networks or addresses (\"" +
                     bad + "\" is none; write 10.0.0.0/8, 192.168.1.7, ::1 or fd00::/8)";
            return false;
        }
        if (server.allowedClients.empty()) {
            *error = Where(node) + ": Allow names no network; leave it out to serve every client";
            return false;
        }
    }
    if (auto console = document_.GetAttribute(node, "Console")) {
        if (*console != "0" && *console != "1") {
            *error = Where(node) + ": Console must be 0 or 1 (\"" + *console + "\" is neither)";
            return false;
        }
        settings->console = *console == "1";
    }
    // A ControlService's own users as they always were: a repeated Name is not refused there.
    if (!ReadUsers(node, false, &server.auth.users, error))
        return false;
    // 127.0.0.0/8 or ::1 (also IPv4-mapped) reach only this machine's clients. An address that
    // does not parse counts as loopback: the listener will refuse to start anyway.
    bool ipv6Only = false;
    const uint32_t listenV4 = Ipv4FormOf(server.listenAddress, &ipv6Only).value_or(INADDR_LOOPBACK);
    const bool loopbackOnly = !ipv6Only && (listenV4 >> 24) == 127;
    if (!loopbackOnly && server.allowedClients.empty() && !server.Secure()) {
        Warn(Where(node) + " listens on " + server.listenAddress +
             " without Allow or TLS: any client that reaches it can steer the cameras");
    }
    return true;
}

bool Installation::ReadUsers(xmlNode* parent, bool uniqueNames, std::vector<http::BasicUser>* users,
                             std::string* error) {
    std::vector<xmlNode*> nodes;
    document_.SelectNodes(parent, "User", &nodes);
    for (xmlNode* user : nodes) {
        auto name = document_.GetAttribute(user, "Name");
        auto password = document_.GetAttribute(user, "Password");
        // The name ends at the first ':' in Basic credentials.
        if (!name || name->empty() || name->find(':') != std::string::npos || !password) {
            *error = Where(user) + ": a User needs a Name (without ':') and a Password";
            return false;
        }
        // Two passwords for one name: whichever came first would win, silently.
        for (const http::BasicUser& earlier : *users) {
            if (uniqueNames && earlier.name == *name) {
                *error = Where(user) + ": an earlier User has the Name \"" + *name +
                         "\"; give each user one element";
                return false;
            }
        }
        users->push_back({*name, *password});
    }
    return true;
}

bool Installation::ReadSettings(std::string* error) {
    std::vector<xmlNode*> nodes;
    http::AuthSettings consoleUsers;
    document_.SelectNodes("Users", &nodes);
    if (nodes.size() > 1) {
        *error = Where(nodes[1]) + ": only one Users element may be given";
        return false;
    }
    if (!nodes.empty() && !ReadUsers(nodes[0], true, &consoleUsers.users, error))
        return false;

    document_.SelectNodes("ControlService", &nodes);
    for (xmlNode* node : nodes) {
        ControlServiceSettings settings;
        if (!ReadServiceSettings(node, &settings, error))
            return false;
        settings.consoleUsers = consoleUsers;
        service_settings_.push_back(std::move(settings));
        service_elements_.push_back(Where(node));
    }

    USHORT first = 0, last = 0;
    document_.SelectNodes("PortService", &nodes);
    if (nodes.size() > 1) {
        *error = Where(nodes[1]) + ": only one PortService may be given";
        return false;
    }
    if (!nodes.empty()) {
        long a = 0, b = 0;
        auto firstText = document_.GetAttribute(nodes[0], "First");
        auto lastText = document_.GetAttribute(nodes[0], "Last");
        if (!firstText || !lastText || !ParseNumber(*firstText, 1, 65535, &a) ||
            !ParseNumber(*lastText, a, 65535, &b)) {
            *error =
                Where(nodes[0]) + ": First and Last must be ports with 1 <= First <= Last <= 65535";
            return false;
        }
        first = static_cast<USHORT>(a);
        last = static_cast<USHORT>(b);
    }
    // One address for every camera's session socket (a camera has one, whichever endpoint
    // granted the session): the endpoints' own when they agree, else every address.
    uint32_t sessionAddress = INADDR_ANY;
    if (!service_settings_.empty()) {
        sessionAddress = service_settings_.front().datagramAddress;
        for (const ControlServiceSettings& settings : service_settings_) {
            if (settings.datagramAddress == sessionAddress)
                continue;
            Warn("the ControlService elements take datagrams on different addresses (" +
                 Ipv4Text(sessionAddress) + ", " + Ipv4Text(settings.datagramAddress) +
                 "); the cameras will take them on every address: give each the same "
                 "DatagramListen");
            sessionAddress = INADDR_ANY;
            break;
        }
    }
    if (!ReadOnvifSettings(consoleUsers, error))
        return false;
    port_service_ = CHostPortService::Create(first, last, sessionAddress);
    server_unknown_ = CInstallationServer::Create(document_, &server_);
    if (!port_service_ || !server_unknown_) {
        *error = "out of memory";
        return false;
    }
    // Relative to the root element, like every other lookup of the file (without a context node
    // nothing is selected, and the default protocol was lost).
    if (xmlNode* protocols =
            document_.SelectSingleNode(document_.DocumentElement(), "PTZProtocols")) {
        if (auto defaultName = document_.GetAttribute(protocols, "Default")) {
            server_->SetDefaultProtocol(k47::Utf8ToUtf16(*defaultName));
            default_protocol_ = *defaultName;
        }
    }
    return true;
}

bool Installation::ReadOnvifSettings(const http::AuthSettings& users, std::string* error) {
    onvif::OnvifSettings& onvif = onvif_settings_;
    std::vector<xmlNode*> nodes;
    document_.SelectNodes("Onvif", &nodes);
    if (nodes.size() > 1) {
        *error = Where(nodes[1]) + ": only one Onvif element may be given";
        return false;
    }
    xmlNode* element = nodes.empty() ? nullptr : nodes[0];
    if (element != nullptr) {
        onvif.enabled = true;
        if (auto listen = document_.GetAttribute(element, "Listen")) {
            in_addr address{};
            // IPv4: discovery is IPv4 multicast, and clients are handed this address.
            if (inet_pton(AF_INET, listen->c_str(), &address) != 1) {
                *error = Where(element) + ": Listen must be an IPv4 address (\"" + *listen +
                         "\" is none; 0.0.0.0 serves every address)";
                return false;
            }
            onvif.listenAddress = *listen;
        }
        if (auto discovery = document_.GetAttribute(element, "Discovery")) {
            if (*discovery != "0" && *discovery != "1") {
                *error = Where(element) + ": Discovery must be 0 or 1 (\"" + *discovery +
                         "\" is neither)";
                return false;
            }
            onvif.discovery = *discovery == "1";
        }
        for (auto [name, value] : {std::pair{"DefaultTimeout", &onvif.defaultTimeout},
                                   std::pair{"MaxTimeout", &onvif.maxTimeout}}) {
            auto text = document_.GetAttribute(element, name);
            if (!text)
                continue;
            auto duration = onvif::ParseXsDuration(*text);
            if (!duration || duration->count() < 100) {
                *error = Where(element) + ": " + name +
                         " must be a duration of at least 0.1 s such as PT10S or PT1M (\"" + *text +
                         "\" is not)";
                return false;
            }
            *value = *duration;
        }
        if (onvif.defaultTimeout > onvif.maxTimeout) {
            *error = Where(element) + ": DefaultTimeout (" +
                     onvif::FormatXsDuration(onvif.defaultTimeout) +
                     ") is longer than MaxTimeout (" + onvif::FormatXsDuration(onvif.maxTimeout) +
                     ")";
            return false;
        }
        auto presetFile = document_.GetAttribute(element, "PresetFile");
        onvif.presetFile = presetFile ? *presetFile : onvif::DefaultPresetFile();
        if (auto allow = document_.GetAttribute(element, "Allow")) {
            std::string bad;
            if (!http::ParseAddressPrefixes(*allow, &onvif.allowedClients, &bad) ||
                onvif.allowedClients.empty()) {
                *error = Where(element) +
                         ": Allow must list IPv4 or IPv6 networks or addresses (\"" + bad +
                         "\" is none; write 10.0.0.0/8 or 192.168.1.7)";
                return false;
            }
        }
        for (const http::BasicUser& user : users.users)
            onvif.users.push_back({user.name, user.password});
    }

    document_.SelectNodes("Cameras/Camera", &nodes);
    for (xmlNode* camera : nodes) {
        auto portText = document_.GetAttribute(camera, "OnvifPort");
        if (!portText)
            continue;
        long port = 0;
        if (!ParseNumber(*portText, 1, 65535, &port)) {
            *error = Where(camera) + ": OnvifPort must be a TCP port from 1 to 65535";
            return false;
        }
        if (element == nullptr) {
            Warn(Where(camera) +
                 ": OnvifPort is not used: the file has no <Onvif> element, so no " +
                 "camera is published");
            continue;
        }
        onvif::OnvifCameraSettings published;
        auto name = document_.GetAttribute(camera, "Name");
        if (!name || name->empty())
            continue;  // refused with its reason when the camera is built
        published.camera = *name;
        published.port = static_cast<uint16_t>(port);
        for (const ControlServiceSettings& service : service_settings_) {
            if (service.http.port == published.port) {
                *error = Where(camera) + ": OnvifPort " + *portText +
                         " is a ControlService's port; give each device a port of its own";
                return false;
            }
        }
        for (const onvif::OnvifCameraSettings& earlier : onvif.cameras) {
            if (earlier.port == published.port) {
                *error = Where(camera) + ": OnvifPort " + *portText + " is camera \"" +
                         earlier.camera + "\"'s already; give each camera a port of its own";
                return false;
            }
        }
        const struct {
            const char* attribute;
            std::string* value;
        } texts[] = {{"StreamUri", &published.streamUri},
                     {"SnapshotUri", &published.snapshotUri},
                     {"Manufacturer", &published.manufacturer},
                     {"Model", &published.model}};
        for (const auto& text : texts)
            if (auto value = document_.GetAttribute(camera, text.attribute))
                *text.value = *value;
        onvif.cameras.push_back(std::move(published));
    }
    if (element != nullptr && onvif.cameras.empty())
        Warn(Where(element) + ": no Camera has an OnvifPort, so no camera is published");
    return true;
}

InstallationReport Installation::Build() {
    InstallationReport report;
    WarnOfUnknownElements(document_.DocumentElement(), true);
    std::vector<xmlNode*> nodes;
    document_.SelectNodes("PTZProtocols/Protocol", &nodes);
    for (xmlNode* node : nodes)
        CreateProtocol(node, &report);
    document_.SelectNodes("Cameras/Camera", &nodes);
    if (nodes.empty())
        report.problems.push_back(Where(document_.DocumentElement()) +
                                  ": the file names no camera (a <Camera> element inside "
                                  "<Cameras> under the root element): nothing can be steered");
    for (xmlNode* node : nodes)
        CreateCamera(node, &report);
    if (strict_) {
        for (const std::string& warning : warnings_)
            report.problems.push_back(warning + "; --strict counts this warning as a problem");
    } else {
        report.warnings = warnings_;
    }
    return report;
}

void Installation::Warn(const std::string& text) {
    // Strict, the warning is reported once, as a problem, with the others.
    if (!strict_)
        g_ErrorHandling.WriteLog("k47ptz-host: warning: %s\n", text.c_str());
    warnings_.push_back(text);
}

std::string Installation::Detail(HRESULT hr) const {
    return verbose_ ? " (" + Words(hr) + ")" : std::string();
}

void Installation::WarnOfUnknownAttributes(const xmlNode* element, const std::string& progId) {
    const std::string name = k47::XmlDocument::NodeName(element);
    if (!Checkable(name, progId))
        return;
    for (const xmlAttr* attribute = element->properties; attribute != nullptr;
         attribute = attribute->next) {
        const std::string attributeName = reinterpret_cast<const char*>(attribute->name);
        if (attribute->ns != nullptr || KnownAttribute(name, progId, attributeName))
            continue;
        Warn(Where(element) + ": attribute " + attributeName + " is not read" +
             (progId.empty() ? std::string() : " by the host nor by " + progId) +
             " (misspelt? see docs/configuration.md)");
    }
}

int Installation::CheckListeners(InstallationReport* report) const {
    int unbound = 0;
    for (size_t i = 0; i < service_settings_.size(); ++i) {
        const http::HttpServerSettings& server = service_settings_[i].http;
        sockaddr_storage address{};
        std::string ignored;
        const std::string where = i < service_elements_.size() ? service_elements_[i] : "";
        const std::string endpoint = server.listenAddress + " port " + std::to_string(server.port);
        // The listener reads them only when it starts; --check would not see them missing.
        for (const std::string* file : {&server.certificateFile, &server.keyFile})
            if (server.Secure() && ::access(file->c_str(), R_OK) != 0)
                report->problems.push_back(where + ": " + *file +
                                           " cannot be read (HTTPS needs the Certificate and "
                                           "Key files readable by the host's user)");
        if (!http::ParseListenAddress(server.listenAddress, server.port, &address, &ignored)) {
            report->problems.push_back(where + ": Listen \"" + server.listenAddress +
                                       "\" is no IPv4 or IPv6 address; write one, such as "
                                       "0.0.0.0, 127.0.0.1 or ::");
            ++unbound;
            continue;
        }
        const int error = ProbeListen(address);
        if (error == 0)
            continue;
        ++unbound;
        report->problems.push_back(where + ": cannot listen on " + endpoint + ": " +
                                   WhyNotListening(error, "Port"));
    }
    // The ONVIF devices' ports, on the bridge's address.
    if (onvif_settings_.enabled) {
        for (const onvif::OnvifCameraSettings& camera : onvif_settings_.cameras) {
            sockaddr_storage address{};
            std::string ignored;
            if (!http::ParseListenAddress(onvif_settings_.listenAddress, camera.port, &address,
                                          &ignored))
                continue;  // refused when the file was read
            const int error = ProbeListen(address);
            if (error == 0)
                continue;
            ++unbound;
            report->problems.push_back("the ONVIF device of camera \"" + camera.camera +
                                       "\" cannot listen on " + onvif_settings_.listenAddress +
                                       " port " + std::to_string(camera.port) + ": " +
                                       WhyNotListening(error, "OnvifPort"));
        }
    }
    return unbound;
}

std::string Installation::WhyNotListening(int error, const char* portAttribute) const {
    const std::string port = portAttribute;
    std::string what;
    if (error == EADDRINUSE)
        what = "another program listens there; stop it, or choose another " + port;
    else if (error == EADDRNOTAVAIL)
        what = "this machine has no such address; correct Listen (0.0.0.0 takes every address)";
    else if (error == EACCES || error == EPERM)
        what = "ports below 1024 need privileges; choose a " + port +
               " from 1024, or grant the host CAP_NET_BIND_SERVICE";
    else
        what = "check Listen and " + port;
    return what + (verbose_ ? " (" + std::system_category().message(error) + ")" : std::string());
}

void Installation::WarnOfUnknownElements(xmlNode* parent, bool atRoot) {
    if (parent == nullptr)
        return;
    const std::string parentName = k47::XmlDocument::NodeName(parent);
    for (xmlNode* child = parent->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        const std::string name = k47::XmlDocument::NodeName(child);
        if (!KnownChild(parentName, name, atRoot)) {
            Warn(Where(child) + " is not read by the host (misspelt?)");
            continue;
        }
        // A Protocol's and a Camera's attributes are checked with their driver, once it is known.
        if (name != "Protocol" && name != "Camera")
            WarnOfUnknownAttributes(child, std::string());
        if (atRoot)
            WarnOfUnknownElements(child, false);
    }
}

void Installation::CreateProtocol(xmlNode* element, InstallationReport* report) {
    auto problem = [&](const std::string& text) {
        report->problems.push_back(Where(element) + ": " + text);
    };
    auto name = document_.GetAttribute(element, "Name");
    auto progId = document_.GetAttribute(element, "ProgID");
    if (!name || name->empty())
        return problem("a protocol needs a Name");
    if (!progId)
        return problem("a protocol needs the ProgID of its driver");
    WarnOfUnknownAttributes(element, *progId);
    ComPtr<IUnknown> existing;
    CComBSTR bstrName(k47::Utf8ToUtf16(*name).c_str());
    if (SUCCEEDED(server_->LookupObject(bstrName, nullptr, existing.GetAddressOf())))
        return problem("an earlier element has the Name \"" + *name +
                       "\" already; give each its own (this one is ignored)");

    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(k47::Utf8ToUtf16(*progId).c_str(), &clsid);
    if (FAILED(hr))
        return problem("driver class " + *progId +
                       " is not registered; check ProgID, and register the K47PTZ module with "
                       "k47regsvr" +
                       Detail(hr));
    // Only a protocol driver may have its element and the driver's init data: another class
    // configurable from an element (a camera, say) would take that init data for its own kind.
    ComPtr<IK47PTZProtocol> protocol;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IK47PTZProtocol,
                          reinterpret_cast<void**>(protocol.GetAddressOf()));
    if (hr == E_NOINTERFACE)
        return problem(*progId + " is not a protocol driver");
    if (FAILED(hr))
        return problem("driver " + *progId +
                       " cannot be created; register the K47PTZ module again with k47regsvr" +
                       Detail(hr));
    ComPtr<IK47ObjectConfiguration> driver;
    hr = protocol.As(&driver);
    if (FAILED(hr))
        return problem(*progId + " is not a protocol driver: it cannot be configured");

    ComPtr<IXMLDOMElement> configuration;
    hr = document_.GetElement(element, configuration.GetAddressOf());
    if (FAILED(hr))
        return problem("the element cannot be handed to the driver" + Detail(hr));

    if (IsEqualCLSID(clsid, CLSID_PTZ3PWrapper)) {
        // A plug-in protocol: the supplied driver is named by its ProgID in "Driver".
        auto plugInId = document_.GetAttribute(element, "Driver");
        if (!plugInId)
            return problem("a plug-in protocol needs the ProgID of the supplied driver in Driver");
        CLSID plugInClass{};
        hr = CLSIDFromProgID(k47::Utf8ToUtf16(*plugInId).c_str(), &plugInClass);
        if (FAILED(hr))
            return problem("supplied driver " + *plugInId +
                           " is not registered; check Driver, and register the module that "
                           "provides it" +
                           Detail(hr));
        ComPtr<IPTZ3PDriver> plugIn;
        hr = CoCreateInstance(plugInClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPTZ3PDriver,
                              reinterpret_cast<void**>(plugIn.GetAddressOf()));
        if (FAILED(hr))
            return problem("supplied driver " + *plugInId +
                           " cannot be created; register the module that provides it again" +
                           Detail(hr));
        PTZ3PInitData initData{port_service_.Get(), plugIn.Get()};
        hr = driver->Initialize(configuration.Get(), server_unknown_.Get(),
                                reinterpret_cast<ULONG_PTR>(&initData));
        plug_ins_.push_back(plugIn);
    } else {
        IUnknown* portService = port_service_.Get();
        hr = driver->Initialize(configuration.Get(), server_unknown_.Get(),
                                reinterpret_cast<ULONG_PTR>(portService));
    }
    // A driver whose configuration failed (a port that does not open) is kept: its cameras bind
    // and their calls succeed without reaching a line, as the driver documents.
    server_->AddProtocol(element, k47::Utf8ToUtf16(*name), driver.Get());
    protocol_prog_ids_[*name] = *progId;
    if (SUCCEEDED(hr)) {
        report->protocolsConfigured++;
        return;
    }
    // The usual cause, said with the device's name and what to do about it.
    auto port = document_.GetAttribute(element, "COMPort");
    const bool missing = hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
                         hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    if (port && !port->empty() &&
        (missing || hr == E_ACCESSDENIED || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))) {
        report->linesUnopened++;
        problem("serial port " + *port +
                (missing ? " does not exist (is the adapter plugged in? is COMPort right?)"
                         : " may not be opened by this user (on Debian: add the user to the "
                           "dialout group)") +
                "; its cameras are kept, and the port is opened again when there is something "
                "to send" +
                Detail(hr));
        return;
    }
    problem(
        "driver " + *progId +
        " could not be set up from this element; check its attributes (docs/configuration.md)" +
        (verbose_ ? Detail(hr) : std::string(", or run with --verbose for the driver's error")));
}

void Installation::CreateCamera(xmlNode* element, InstallationReport* report) {
    auto problem = [&](const std::string& text) {
        report->problems.push_back(Where(element) + ": " + text);
    };
    auto name = document_.GetAttribute(element, "Name");
    if (!name || name->empty())
        return problem("a camera needs a Name");
    // Checked before the camera exists: with a cut address it would steer another camera.
    auto protocol = document_.GetAttribute(element, "Protocol");
    auto progId = protocol_prog_ids_.find(protocol ? *protocol : default_protocol_);
    if (progId != protocol_prog_ids_.end())
        WarnOfUnknownAttributes(element, progId->second);
    auto addressText = document_.GetAttribute(element, "Address");
    long address = 0;
    if (progId != protocol_prog_ids_.end() && addressText &&
        ParseNumber(*addressText, LONG_MIN, LONG_MAX, &address)) {
        if (const AddressRange* range = AddressRangeOf(progId->second);
            range != nullptr && (address < range->first || address > range->last))
            return problem("Address " + *addressText + " is outside " + progId->second + "'s " +
                           std::to_string(range->first) + " to " + std::to_string(range->last) +
                           "; the camera is not created");
    }
    std::u16string wideName = k47::Utf8ToUtf16(*name);
    ComPtr<IK47PTZCamera> existing;
    if (server_->FindCamera(wideName, existing.GetAddressOf()) !=
        HRESULT_FROM_WIN32(ERROR_NOT_FOUND))
        return problem("an earlier Camera has the Name \"" + *name +
                       "\" already; give each its own (this one is ignored)");

    ComPtr<IK47ObjectConfiguration> wrapper;
    HRESULT hr = CoCreateInstance(CLSID_PTZCamera, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IK47ObjectConfiguration,
                                  reinterpret_cast<void**>(wrapper.GetAddressOf()));
    if (FAILED(hr))
        return problem(
            "the camera object cannot be created; register the K47PTZ module with k47regsvr" +
            Detail(hr));
    ComPtr<IXMLDOMElement> configuration;
    hr = document_.GetElement(element, configuration.GetAddressOf());
    if (FAILED(hr))
        return problem("the element cannot be handed to the camera" + Detail(hr));
    // Known to the server before it binds: the binding's fallback asks the server about it.
    server_->AddCamera(element, wideName, wrapper.Get());
    CComBSTR bstrName(wideName.c_str());
    hr = wrapper->Initialize(configuration.Get(), server_unknown_.Get(),
                             reinterpret_cast<ULONG_PTR>(bstrName.m_str));
    if (FAILED(hr))
        return problem(
            "the camera could not be set up from this element; check Address and UDPPort "
            "(docs/configuration.md)" +
            (verbose_ ? Detail(hr) : std::string(", or run with --verbose for the error")));
    ComPtr<IK47PTZCamera> camera;
    if (FAILED(wrapper.As(&camera))) {
        auto protocol = document_.GetAttribute(element, "Protocol");
        return problem("no driver for protocol \"" +
                       (protocol ? *protocol : std::string("(default)")) +
                       "\": the camera cannot be steered");
    }
    report->camerasBound++;
}

HRESULT Installation::PublishObjectServer() {
    if (!server_unknown_ || object_server_cookie_ != 0)
        return E_UNEXPECTED;
    ComPtr<IUnknown> identity;
    CObjectServerClass* factory = nullptr;
    HRESULT hr = K47CreateInstance<CObjectServerClass>(identity.GetAddressOf(), &factory);
    if (FAILED(hr))
        return hr;
    factory->SetServer(server_unknown_.Get());
    return CoRegisterClassObject(CLSID_K47ObjectServer, identity.Get(), CLSCTX_LOCAL_SERVER,
                                 REGCLS_MULTIPLEUSE, &object_server_cookie_);
}

void Installation::RevokeObjectServer() {
    if (object_server_cookie_ != 0)
        CoRevokeClassObject(object_server_cookie_);
    object_server_cookie_ = 0;
}

CameraStopReport Installation::StopCameras(const char* occasion) {
    using NamedCamera = CInstallationServer::NamedCamera;
    CameraStopReport report;
    if (server_ == nullptr)
        return report;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::vector<NamedCamera>> lines = server_->CamerasByProtocol();
    std::atomic<int> stopped{0};
    std::atomic<int> failed{0};
    // At most kThreads lines at once: thread t takes lines t, t + threads, t + 2 threads...
    constexpr size_t kThreads = 32;
    const size_t threads = std::min(lines.size(), kThreads);
    auto stopLines = [&](size_t first) {
        for (size_t line = first; line < lines.size(); line += threads) {
            for (const NamedCamera& named : lines[line]) {
                HRESULT hr = named.camera->MoveRelative(0, 0, 0, 0, 0);
                if (SUCCEEDED(hr)) {
                    stopped.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                failed.fetch_add(1, std::memory_order_relaxed);
                g_ErrorHandling.WriteLog("k47ptz-host: camera \"%s\" could not be stopped: %s\n",
                                         k47::Utf16ToUtf8(named.name).c_str(), Words(hr).c_str());
            }
        }
    };
    {
        // One line's stops take one line time each; other lines need not wait for them.
        std::vector<std::jthread> helpers;
        helpers.reserve(threads);
        for (size_t first = 1; first < threads; ++first) {
            try {
                helpers.emplace_back([&stopLines, first] {
                    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                    stopLines(first);
                    CoUninitialize();
                });
            } catch (const std::system_error&) {
                stopLines(first);  // no thread to be had: these lines wait their turn
            }
        }
        if (threads > 0)
            stopLines(0);
    }  // the helpers are joined here
    report.stopped = stopped.load();
    report.failed = failed.load();
    report.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    g_ErrorHandling.WriteLog("k47ptz-host: %s: %d camera(s) stopped, %d failed, in %lld ms\n",
                             occasion, report.stopped, report.failed,
                             static_cast<long long>(report.took.count()));
    return report;
}

void Installation::Shutdown(Motion motion) {
    RevokeObjectServer();
    if (shut_down_ || server_ == nullptr)
        return;
    shut_down_ = true;
    server_->SetShuttingDown();
    for (auto& camera : server_->Cameras()) {
        ComPtr<IK47Terminate> terminate;
        if (SUCCEEDED(camera.As(&terminate)))
            terminate->Terminate(TRUE);
    }
    // Stopped once terminated, not before: until then a remote client's datagram already on
    // the camera's worker could follow the stop with a move that nothing would end. A terminated
    // camera still reaches its driver, which ends only below.
    if (motion == Motion::kStop)
        StopCameras("shutdown");
    for (auto& protocol : server_->Protocols()) {
        ComPtr<IK47Terminate> terminate;
        if (SUCCEEDED(protocol.As(&terminate)))
            terminate->Terminate(TRUE);
    }
    server_->ReleaseObjects();
    plug_ins_.clear();
    port_service_.Reset();
}

}  // namespace k47host
