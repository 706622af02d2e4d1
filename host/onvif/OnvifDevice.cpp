// The Device, Media and PTZ services of one published camera.
#include "host/onvif/OnvifDevice.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>
#include <k47/errors.h>
#include <k47/strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <fstream>
#include <set>

#include "common/K47Global.h"

using Microsoft::WRL::ComPtr;

namespace k47host::onvif {

namespace {

constexpr char kPanTiltVelocitySpace[] =
    "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";
constexpr char kZoomVelocitySpace[] =
    "http://www.onvif.org/ver10/tptz/ZoomSpaces/VelocityGenericSpace";
// The nominal picture of the profile: the bridge does not know the encoder's, and clients need one.
constexpr int kNominalWidth = 1920;
constexpr int kNominalHeight = 1080;

std::string Element(std::string_view name, std::string_view innerXml) {
    std::string out;
    out.append("<").append(name).append(">").append(innerXml);
    out.append("</").append(name).append(">");
    return out;
}

std::string Version(std::string_view prefix, int major, int minor) {
    return Element(std::string(prefix) + ":Version",
                   OnvifTextElement("tt:Major", std::to_string(major)) +
                       OnvifTextElement("tt:Minor", std::to_string(minor)));
}

std::string Range(std::string_view name) {
    return Element(name, "<tt:Min>-1</tt:Min><tt:Max>1</tt:Max>");
}

// The velocity spaces the node supports, for the node and the configuration options.
std::string VelocitySpaces() {
    return Element("tt:ContinuousPanTiltVelocitySpace",
                   OnvifTextElement("tt:URI", kPanTiltVelocitySpace) + Range("tt:XRange") +
                       Range("tt:YRange")) +
           Element("tt:ContinuousZoomVelocitySpace",
                   OnvifTextElement("tt:URI", kZoomVelocitySpace) + Range("tt:XRange"));
}

std::string UtcDateTime(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return Element("tt:Time", OnvifTextElement("tt:Hour", std::to_string(utc.tm_hour)) +
                                  OnvifTextElement("tt:Minute", std::to_string(utc.tm_min)) +
                                  OnvifTextElement("tt:Second", std::to_string(utc.tm_sec))) +
           Element("tt:Date", OnvifTextElement("tt:Year", std::to_string(utc.tm_year + 1900)) +
                                  OnvifTextElement("tt:Month", std::to_string(utc.tm_mon + 1)) +
                                  OnvifTextElement("tt:Day", std::to_string(utc.tm_mday)));
}

std::string IsoTime(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A scope's last segment: RFC 3986 unreserved characters kept, the rest %-escaped.
std::string ScopeSegment(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

// A velocity component: a decimal in [-1, 1]; nothing otherwise.
std::optional<double> ParseUnit(std::string_view text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < -1 || value > 1)
        return std::nullopt;
    return value;
}

std::optional<bool> ParseBoolean(std::string_view text) {
    if (text == "true" || text == "1")
        return true;
    if (text == "false" || text == "0")
        return false;
    return std::nullopt;
}

// A preset token: the camera's preset number, 1..count, written without sign or leading zeros.
std::optional<unsigned> ParsePresetToken(std::string_view text, unsigned count) {
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > count ||
        text.front() == '0')
        return std::nullopt;
    return value;
}

// The Host header as a base address, when it is a plain host name or address with a port.
std::optional<std::string> BaseFromHost(std::string_view host) {
    if (host.empty() || host.size() > 255)
        return std::nullopt;
    for (char c : host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
              c == '[' || c == ']'))
            return std::nullopt;
    return "http://" + std::string(host);
}

std::string ReadSmallFile(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string NetworkInterfacesXml() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, &freeifaddrs);
    std::string out;
    std::set<std::string> seen;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0 ||
            !seen.insert(entry->ifa_name).second)
            continue;
        const std::string name = entry->ifa_name;
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr,
                  address, sizeof(address));
        int prefix = 0;
        if (entry->ifa_netmask != nullptr)
            prefix = __builtin_popcount(
                reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
        std::string info = OnvifTextElement("tt:Name", name);
        const std::string hardware = ReadSmallFile("/sys/class/net/" + name + "/address");
        if (!hardware.empty())
            info += OnvifTextElement("tt:HwAddress", hardware);
        const std::string mtu = ReadSmallFile("/sys/class/net/" + name + "/mtu");
        if (!mtu.empty())
            info += OnvifTextElement("tt:MTU", mtu);
        out +=
            "<tds:NetworkInterfaces token=\"" + OnvifEscape(name) + "\">" +
            OnvifTextElement("tt:Enabled", "true") + Element("tt:Info", info) +
            Element("tt:IPv4",
                    OnvifTextElement("tt:Enabled", "true") +
                        Element("tt:Config",
                                Element("tt:Manual", OnvifTextElement("tt:Address", address) +
                                                         OnvifTextElement("tt:PrefixLength",
                                                                          std::to_string(prefix))) +
                                    OnvifTextElement("tt:DHCP", "false"))) +
            "</tds:NetworkInterfaces>";
    }
    return out;
}

}  // namespace

struct OnvifDevice::Reply {
    bool fault = false;
    OnvifFault faultText;
    std::string element;  // the response element, e.g. "tds:GetHostnameResponse"
    std::string inner;

    static Reply Ok(std::string element, std::string inner = {}) {
        Reply reply;
        reply.element = std::move(element);
        reply.inner = std::move(inner);
        return reply;
    }
    static Reply Fault(std::string code, std::string subcode, std::string reason,
                       std::string detail = {}) {
        Reply reply;
        reply.fault = true;
        reply.faultText = OnvifFault{std::move(code), std::move(subcode), std::move(reason)};
        reply.faultText.subsubcode = std::move(detail);
        return reply;
    }
    static Reply InvalidArg(std::string reason, std::string detail = {}) {
        return Fault("env:Sender", "ter:InvalidArgVal", std::move(reason), std::move(detail));
    }
    static Reply NoToken(std::string_view token, unsigned count) {
        return InvalidArg(
            "no preset \"" + std::string(token) + "\"; tokens are 1 to " + std::to_string(count),
            "ter:NoToken");
    }
    static Reply NoProfile(const std::optional<std::string>& token) {
        return InvalidArg(
            "no profile \"" + token.value_or("") + "\"; this device has " + kProfileToken,
            "ter:NoProfile");
    }
    static Reply NotSupported(std::string reason) {
        return Fault("env:Receiver", "ter:ActionNotSupported", std::move(reason));
    }
};

std::vector<std::string> DeviceScopes(const OnvifCameraSettings& camera) {
    std::vector<std::string> scopes = {"onvif://www.onvif.org/type/ptz",
                                       "onvif://www.onvif.org/Profile/Streaming",
                                       "onvif://www.onvif.org/name/" + ScopeSegment(camera.camera)};
    if (!camera.streamUri.empty())
        scopes.insert(scopes.begin() + 1, "onvif://www.onvif.org/type/video_encoder");
    if (!camera.model.empty())
        scopes.push_back("onvif://www.onvif.org/hardware/" + ScopeSegment(camera.model));
    return scopes;
}

OnvifDevice::OnvifDevice(CInstallationServer* server, OnvifCameraSettings camera,
                         const OnvifSettings& bridge, PresetNames* presets,
                         std::chrono::milliseconds renewEvery)
    : server_(server),
      camera_(std::move(camera)),
      default_timeout_(bridge.defaultTimeout),
      max_timeout_(bridge.maxTimeout),
      users_(bridge.users),
      presets_(presets),
      fallback_base_("http://127.0.0.1:" + std::to_string(camera_.port)),
      motion_(std::make_unique<MotionKeeper>(
          [this](const Velocity& velocity) { return SendMotion(velocity); }, renewEvery)) {}

OnvifDevice::~OnvifDevice() {
    motion_.reset();  // its thread calls SendMotion, which reads the members above
}

void OnvifDevice::StopMotion() {
    if (motion_->Moving())
        motion_->Stop();
}

HRESULT OnvifDevice::SendMotion(const Velocity& velocity) {
    ComPtr<IK47PTZCamera> camera;
    HRESULT hr = server_->FindCamera(k47::Utf8ToUtf16(camera_.camera), camera.GetAddressOf());
    if (FAILED(hr) || !camera)
        return FAILED(hr) ? hr : E_NOINTERFACE;
    return camera->MoveRelative(static_cast<SHORT>(velocity.pan), static_cast<SHORT>(velocity.tilt),
                                static_cast<SHORT>(velocity.zoom), 0, 0);
}

HRESULT OnvifDevice::CameraCommand(PTZCOMMAND command, unsigned argument) {
    ComPtr<IK47PTZCamera> camera;
    HRESULT hr = server_->FindCamera(k47::Utf8ToUtf16(camera_.camera), camera.GetAddressOf());
    if (FAILED(hr) || !camera)
        return FAILED(hr) ? hr : E_NOINTERFACE;
    return camera->Command(command, static_cast<INT_PTR>(argument));
}

unsigned OnvifDevice::PresetCount() {
    ComPtr<IK47PTZCamera> camera;
    PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
    ULONG presets = 0;
    if (SUCCEEDED(server_->FindCamera(k47::Utf8ToUtf16(camera_.camera), camera.GetAddressOf())) &&
        camera && SUCCEEDED(camera->QueryFunctions(&functions, &presets)) && presets > 0)
        return static_cast<unsigned>(presets);
    return kDefaultPresetCount;
}

std::string OnvifDevice::ConfigurationXml(const char* element) {
    return std::string("<") + element + " token=\"" + kPtzConfigurationToken + "\">" +
           OnvifTextElement("tt:Name", "PTZ") + OnvifTextElement("tt:UseCount", "1") +
           OnvifTextElement("tt:NodeToken", kPtzNodeToken) +
           OnvifTextElement("tt:DefaultContinuousPanTiltVelocitySpace", kPanTiltVelocitySpace) +
           OnvifTextElement("tt:DefaultContinuousZoomVelocitySpace", kZoomVelocitySpace) +
           OnvifTextElement("tt:DefaultPTZTimeout", FormatXsDuration(default_timeout_)) + "</" +
           element + ">";
}

std::string OnvifDevice::NodeXml(const char* element) {
    return std::string("<") + element + " token=\"" + kPtzNodeToken +
           "\" FixedHomePosition=\"true\">" + OnvifTextElement("tt:Name", camera_.camera) +
           Element("tt:SupportedPTZSpaces", VelocitySpaces()) +
           OnvifTextElement("tt:MaximumNumberOfPresets", std::to_string(PresetCount())) +
           OnvifTextElement("tt:HomeSupported", "true") + "</" + element + ">";
}

std::string OnvifDevice::ProfileXml(const char* element) {
    const std::string width = std::to_string(kNominalWidth);
    const std::string height = std::to_string(kNominalHeight);
    return std::string("<") + element + " token=\"" + kProfileToken + "\" fixed=\"true\">" +
           OnvifTextElement("tt:Name", camera_.camera) + "<tt:VideoSourceConfiguration token=\"" +
           kVideoSourceConfigurationToken + "\">" + OnvifTextElement("tt:Name", "video source") +
           OnvifTextElement("tt:UseCount", "1") +
           OnvifTextElement("tt:SourceToken", kVideoSourceToken) +
           "<tt:Bounds x=\"0\" y=\"0\" width=\"" + width + "\" height=\"" + height +
           "\"/></tt:VideoSourceConfiguration>" + "<tt:VideoEncoderConfiguration token=\"" +
           kVideoEncoderToken + "\">" + OnvifTextElement("tt:Name", "video encoder") +
           OnvifTextElement("tt:UseCount", "1") + OnvifTextElement("tt:Encoding", "H264") +
           Element("tt:Resolution",
                   OnvifTextElement("tt:Width", width) + OnvifTextElement("tt:Height", height)) +
           OnvifTextElement("tt:Quality", "5") +
           Element("tt:Multicast",
                   Element("tt:Address", OnvifTextElement("tt:Type", "IPv4") +
                                             OnvifTextElement("tt:IPv4Address", "0.0.0.0")) +
                       OnvifTextElement("tt:Port", "0") + OnvifTextElement("tt:TTL", "1") +
                       OnvifTextElement("tt:AutoStart", "false")) +
           OnvifTextElement("tt:SessionTimeout", "PT60S") + "</tt:VideoEncoderConfiguration>" +
           ConfigurationXml("tt:PTZConfiguration") + "</" + element + ">";
}

OnvifDevice::Reply OnvifDevice::DeviceOperation(const OnvifRequest& request,
                                                std::string_view base) {
    const std::string& op = request.operation;
    const std::string device = std::string(base) + kDeviceServicePath;
    const std::string media = std::string(base) + kMediaServicePath;
    const std::string ptz = std::string(base) + kPtzServicePath;
    if (op == "GetSystemDateAndTime") {
        const auto now = std::chrono::system_clock::now();
        return Reply::Ok("tds:GetSystemDateAndTimeResponse",
                         Element("tds:SystemDateAndTime",
                                 OnvifTextElement("tt:DateTimeType", "Manual") +
                                     OnvifTextElement("tt:DaylightSavings", "false") +
                                     Element("tt:TimeZone", OnvifTextElement("tt:TZ", "UTC0")) +
                                     Element("tt:UTCDateTime", UtcDateTime(now))));
    }
    if (op == "GetCapabilities") {
        const std::string category = request.Text("Category").value_or("All");
        const bool all = category == "All";
        if (!all && category != "Device" && category != "Media" && category != "PTZ")
            return Reply::Fault("env:Receiver", "ter:ActionNotSupported",
                                "this device has no " + category + " service", "ter:NoSuchService");
        std::string inner;
        if (all || category == "Device")
            inner += Element("tt:Device",
                             OnvifTextElement("tt:XAddr", device) +
                                 Element("tt:Network",
                                         "<tt:IPFilter>false</tt:IPFilter>"
                                         "<tt:ZeroConfiguration>false</tt:ZeroConfiguration>"
                                         "<tt:IPVersion6>false</tt:IPVersion6>"
                                         "<tt:DynDNS>false</tt:DynDNS>") +
                                 Element("tt:System",
                                         "<tt:DiscoveryResolve>false</tt:DiscoveryResolve>"
                                         "<tt:DiscoveryBye>true</tt:DiscoveryBye>"
                                         "<tt:RemoteDiscovery>false</tt:RemoteDiscovery>"
                                         "<tt:SystemBackup>false</tt:SystemBackup>"
                                         "<tt:SystemLogging>false</tt:SystemLogging>"
                                         "<tt:FirmwareUpgrade>false</tt:FirmwareUpgrade>"
                                         "<tt:SupportedVersions><tt:Major>2</tt:Major>"
                                         "<tt:Minor>0</tt:Minor></tt:SupportedVersions>") +
                                 Element("tt:Security",
                                         "<tt:TLS1.1>false</tt:TLS1.1>"
                                         "<tt:TLS1.2>false</tt:TLS1.2>"
                                         "<tt:OnboardKeyGeneration>false</tt:OnboardKeyGeneration>"
                                         "<tt:AccessPolicyConfig>false</tt:AccessPolicyConfig>"
                                         "<tt:X.509Token>false</tt:X.509Token>"
                                         "<tt:SAMLToken>false</tt:SAMLToken>"
                                         "<tt:KerberosToken>false</tt:KerberosToken>"
                                         "<tt:RELToken>false</tt:RELToken>"));
        if (all || category == "Media")
            inner += Element("tt:Media", OnvifTextElement("tt:XAddr", media) +
                                             Element("tt:StreamingCapabilities",
                                                     "<tt:RTPMulticast>false</tt:RTPMulticast>"
                                                     "<tt:RTP_TCP>true</tt:RTP_TCP>"
                                                     "<tt:RTP_RTSP_TCP>true</tt:RTP_RTSP_TCP>"));
        if (all || category == "PTZ")
            inner += Element("tt:PTZ", OnvifTextElement("tt:XAddr", ptz));
        return Reply::Ok("tds:GetCapabilitiesResponse", Element("tds:Capabilities", inner));
    }
    if (op == "GetServices") {
        const bool capabilities =
            ParseBoolean(request.Text("IncludeCapability").value_or("")).value_or(false);
        auto service = [&](const char* ns, const std::string& address, const std::string& caps,
                           int major, int minor) {
            return Element("tds:Service",
                           OnvifTextElement("tds:Namespace", ns) +
                               OnvifTextElement("tds:XAddr", address) +
                               (capabilities ? Element("tds:Capabilities", caps) : std::string()) +
                               Version("tds", major, minor));
        };
        const std::string presets = std::to_string(PresetCount());
        return Reply::Ok(
            "tds:GetServicesResponse",
            service(kDeviceNamespace, device,
                    "<tds:Capabilities><tds:Network/><tds:Security UsernameToken=\"true\"/>"
                    "<tds:System DiscoveryBye=\"true\"/></tds:Capabilities>",
                    2, 0) +
                service(kMediaNamespace, media,
                        std::string("<trt:Capabilities SnapshotUri=\"") +
                            (camera_.snapshotUri.empty() ? "false" : "true") +
                            "\"><trt:ProfileCapabilities MaximumNumberOfProfiles=\"1\"/>"
                            "<trt:StreamingCapabilities RTP_TCP=\"true\" RTP_RTSP_TCP=\"true\"/>"
                            "</trt:Capabilities>",
                        2, 0) +
                service(kPtzNamespace, ptz, "<tptz:Capabilities/>", 2, 0));
    }
    if (op == "GetDeviceInformation") {
        return Reply::Ok(
            "tds:GetDeviceInformationResponse",
            OnvifTextElement("tds:Manufacturer",
                             camera_.manufacturer.empty() ? "K47PTZ" : camera_.manufacturer) +
                OnvifTextElement("tds:Model",
                                 camera_.model.empty() ? "serial PTZ camera" : camera_.model) +
                OnvifTextElement("tds:FirmwareVersion", K47PTZ_VERSION) +
                OnvifTextElement("tds:SerialNumber", camera_.camera) +
                OnvifTextElement("tds:HardwareId", "K47PTZ ONVIF bridge"));
    }
    if (op == "GetScopes") {
        std::string inner;
        for (const std::string& scope : DeviceScopes(camera_))
            inner += Element("tds:Scopes", OnvifTextElement("tt:ScopeDef", "Fixed") +
                                               OnvifTextElement("tt:ScopeItem", scope));
        return Reply::Ok("tds:GetScopesResponse", inner);
    }
    if (op == "GetHostname") {
        char name[256] = {};
        if (gethostname(name, sizeof(name) - 1) != 0)
            name[0] = '\0';
        return Reply::Ok(
            "tds:GetHostnameResponse",
            Element("tds:HostnameInformation",
                    OnvifTextElement("tt:FromDHCP", "false") + OnvifTextElement("tt:Name", name)));
    }
    if (op == "GetNetworkInterfaces")
        return Reply::Ok("tds:GetNetworkInterfacesResponse", NetworkInterfacesXml());
    return Reply::NotSupported("this device does not implement " + op);
}

OnvifDevice::Reply OnvifDevice::MediaOperation(const OnvifRequest& request) {
    const std::string& op = request.operation;
    if (op == "GetProfiles")
        return Reply::Ok("trt:GetProfilesResponse", ProfileXml("trt:Profiles"));
    if (op == "GetVideoSources")
        return Reply::Ok(
            "trt:GetVideoSourcesResponse",
            std::string("<trt:VideoSources token=\"") + kVideoSourceToken + "\">" +
                OnvifTextElement("tt:Framerate", "25") +
                Element("tt:Resolution",
                        OnvifTextElement("tt:Width", std::to_string(kNominalWidth)) +
                            OnvifTextElement("tt:Height", std::to_string(kNominalHeight))) +
                "</trt:VideoSources>");
    const bool known = op == "GetProfile" || op == "GetStreamUri" || op == "GetSnapshotUri";
    if (!known)
        return Reply::NotSupported("this device does not implement " + op);
    const std::optional<std::string> token = request.Text("ProfileToken");
    if (token != kProfileToken)
        return Reply::NoProfile(token);
    if (op == "GetProfile")
        return Reply::Ok("trt:GetProfileResponse", ProfileXml("trt:Profile"));
    const std::string& uri = op == "GetStreamUri" ? camera_.streamUri : camera_.snapshotUri;
    if (uri.empty())
        return Reply::NotSupported("no " +
                                   std::string(op == "GetStreamUri" ? "StreamUri" : "SnapshotUri") +
                                   " is configured for camera \"" + camera_.camera + "\"");
    return Reply::Ok(
        std::string("trt:") + op + "Response",
        Element("trt:MediaUri", OnvifTextElement("tt:Uri", uri) +
                                    "<tt:InvalidAfterConnect>false</tt:InvalidAfterConnect>"
                                    "<tt:InvalidAfterReboot>false</tt:InvalidAfterReboot>"
                                    "<tt:Timeout>PT0S</tt:Timeout>"));
}

OnvifDevice::Reply OnvifDevice::ContinuousMove(const OnvifRequest& request) {
    Velocity velocity;
    struct Axis {
        const char* path;
        const char* space;
        const char* spacePath;
        int* speed;
    } axes[] = {
        {"Velocity/PanTilt@x", kPanTiltVelocitySpace, "Velocity/PanTilt@space", &velocity.pan},
        {"Velocity/PanTilt@y", kPanTiltVelocitySpace, "Velocity/PanTilt@space", &velocity.tilt},
        {"Velocity/Zoom@x", kZoomVelocitySpace, "Velocity/Zoom@space", &velocity.zoom},
    };
    for (const Axis& axis : axes) {
        if (auto space = request.Text(axis.spacePath); space && *space != axis.space)
            return Reply::InvalidArg(
                "only the generic velocity space " + std::string(axis.space) + " is supported",
                "ter:InvalidVelocity");
        const std::optional<std::string> text = request.Text(axis.path);
        if (!text)
            continue;  // an axis left out does not move
        const std::optional<double> unit = ParseUnit(*text);
        if (!unit)
            return Reply::InvalidArg(std::string(axis.path) + " must be a number from -1 to 1 (\"" +
                                         *text + "\" is not)",
                                     "ter:InvalidVelocity");
        *axis.speed = static_cast<int>(std::lround(*unit * 100));
    }
    std::chrono::milliseconds timeout = default_timeout_;
    if (auto text = request.Text("Timeout")) {
        const auto parsed = ParseXsDuration(*text);
        if (!parsed || parsed->count() <= 0)
            return Reply::InvalidArg("Timeout must be a positive duration such as PT5S (\"" +
                                     *text + "\" is not)");
        timeout = std::min(*parsed, max_timeout_);
    }
    const HRESULT hr = motion_->Move(velocity, timeout);
    if (FAILED(hr))
        return Reply::Fault(
            "env:Receiver", "ter:Action",
            "camera \"" + camera_.camera + "\" did not take the move: " + k47::DescribeHresult(hr));
    return Reply::Ok("tptz:ContinuousMoveResponse");
}

OnvifDevice::Reply OnvifDevice::Presets(const OnvifRequest& request) {
    const std::string& op = request.operation;
    const unsigned count = PresetCount();
    std::string error;
    if (op == "GetPresets") {
        std::string inner;
        for (const auto& [number, name] : presets_->Of(camera_.camera))
            if (number <= count)
                inner += "<tptz:Preset token=\"" + std::to_string(number) + "\">" +
                         OnvifTextElement("tt:Name", name) + "</tptz:Preset>";
        return Reply::Ok("tptz:GetPresetsResponse", inner);
    }
    if (op == "GotoHomePosition" || op == "GotoPreset") {
        unsigned number = kHomePreset;
        if (op == "GotoPreset") {
            const std::string token = request.Text("PresetToken").value_or("");
            const auto parsed = ParsePresetToken(token, count);
            if (!parsed)
                return Reply::NoToken(token, count);
            number = *parsed;
        }
        // A continuous move still renewed would carry the camera off its way.
        motion_->Stop();
        const HRESULT hr = CameraCommand(PTZCMD_GOTOPRESET, number);
        if (FAILED(hr))
            return Reply::Fault("env:Receiver", "ter:Action",
                                "camera \"" + camera_.camera + "\" did not go to preset " +
                                    std::to_string(number) + ": " + k47::DescribeHresult(hr));
        return Reply::Ok("tptz:" + op + "Response");
    }
    if (op == "SetPreset") {
        std::map<unsigned, std::string> names = presets_->Of(camera_.camera);
        std::string name = request.Text("PresetName").value_or("");
        if (name.size() > kMaxPresetNameBytes)
            return Reply::InvalidArg(
                "a preset name has at most " + std::to_string(kMaxPresetNameBytes) + " bytes",
                "ter:InvalidPresetName");
        unsigned number = 0;
        if (auto token = request.Text("PresetToken")) {
            const auto parsed = ParsePresetToken(*token, count);
            if (!parsed)
                return Reply::NoToken(*token, count);
            number = *parsed;
        } else {
            // A new preset: the lowest number without a name, past the home position's.
            for (unsigned candidate = kHomePreset + 1; candidate <= count && number == 0;
                 ++candidate)
                if (names.find(candidate) == names.end())
                    number = candidate;
            if (number == 0)
                return Reply::Fault("env:Receiver", "ter:Action",
                                    "every preset of the camera has a name; remove one first",
                                    "ter:TooManyPresets");
        }
        if (name.empty())
            name = "Preset " + std::to_string(number);
        for (const auto& [other, otherName] : names)
            if (other != number && otherName == name)
                return Reply::InvalidArg(
                    "preset " + std::to_string(other) + " is called \"" + name + "\" already",
                    "ter:PresetExist");
        motion_->Stop();
        const HRESULT hr = CameraCommand(PTZCMD_SETPRESET, number);
        if (FAILED(hr))
            return Reply::Fault("env:Receiver", "ter:Action",
                                "camera \"" + camera_.camera + "\" did not store preset " +
                                    std::to_string(number) + ": " + k47::DescribeHresult(hr));
        if (!presets_->Set(camera_.camera, number, name, &error))
            log_throttle_.Write(&presets_, "k47ptz-host: ONVIF preset names: " + error);
        return Reply::Ok("tptz:SetPresetResponse",
                         OnvifTextElement("tptz:PresetToken", std::to_string(number)));
    }
    if (op == "RemovePreset") {
        const std::string token = request.Text("PresetToken").value_or("");
        const auto parsed = ParsePresetToken(token, count);
        if (!parsed)
            return Reply::NoToken(token, count);
        const HRESULT hr = CameraCommand(PTZCMD_CLEARPRESET, *parsed);
        if (FAILED(hr))
            return Reply::Fault("env:Receiver", "ter:Action",
                                "camera \"" + camera_.camera + "\" did not clear preset " + token +
                                    ": " + k47::DescribeHresult(hr));
        if (!presets_->Remove(camera_.camera, *parsed, &error))
            log_throttle_.Write(&presets_, "k47ptz-host: ONVIF preset names: " + error);
        return Reply::Ok("tptz:RemovePresetResponse");
    }
    return Reply::NotSupported("this device does not implement " + op);
}

OnvifDevice::Reply OnvifDevice::PtzOperation(const OnvifRequest& request) {
    const std::string& op = request.operation;
    if (op == "GetNodes")
        return Reply::Ok("tptz:GetNodesResponse", NodeXml("tptz:PTZNode"));
    if (op == "GetNode") {
        const std::string token = request.Text("NodeToken").value_or("");
        if (token != kPtzNodeToken)
            return Reply::InvalidArg("no PTZ node \"" + token + "\"", "ter:NoEntity");
        return Reply::Ok("tptz:GetNodeResponse", NodeXml("tptz:PTZNode"));
    }
    if (op == "GetConfigurations")
        return Reply::Ok("tptz:GetConfigurationsResponse",
                         ConfigurationXml("tptz:PTZConfiguration"));
    if (op == "GetConfiguration" || op == "GetConfigurationOptions") {
        const std::string token =
            request.Text(op == "GetConfiguration" ? "PTZConfigurationToken" : "ConfigurationToken")
                .value_or("");
        if (token != kPtzConfigurationToken)
            return Reply::InvalidArg("no PTZ configuration \"" + token + "\"", "ter:NoConfig");
        if (op == "GetConfiguration")
            return Reply::Ok("tptz:GetConfigurationResponse",
                             ConfigurationXml("tptz:PTZConfiguration"));
        return Reply::Ok(
            "tptz:GetConfigurationOptionsResponse",
            Element("tptz:PTZConfigurationOptions",
                    Element("tt:Spaces", VelocitySpaces()) +
                        Element("tt:PTZTimeout",
                                OnvifTextElement("tt:Min", "PT0.1S") +
                                    OnvifTextElement("tt:Max", FormatXsDuration(max_timeout_)))));
    }
    const bool profiled = op == "ContinuousMove" || op == "Stop" || op == "GetStatus" ||
                          op == "GetPresets" || op == "SetPreset" || op == "RemovePreset" ||
                          op == "GotoPreset" || op == "GotoHomePosition";
    if (!profiled)
        return Reply::NotSupported("this device does not implement " + op);
    const std::optional<std::string> token = request.Text("ProfileToken");
    if (token != kProfileToken)
        return Reply::NoProfile(token);
    if (op == "ContinuousMove")
        return ContinuousMove(request);
    if (op == "Stop") {
        const auto panTilt = ParseBoolean(request.Text("PanTilt").value_or("true"));
        const auto zoom = ParseBoolean(request.Text("Zoom").value_or("true"));
        if (!panTilt || !zoom)
            return Reply::InvalidArg("PanTilt and Zoom must be true or false");
        const HRESULT hr = motion_->Stop(*panTilt, *zoom);
        if (FAILED(hr))
            return Reply::Fault("env:Receiver", "ter:Action",
                                "camera \"" + camera_.camera +
                                    "\" did not take the stop: " + k47::DescribeHresult(hr));
        return Reply::Ok("tptz:StopResponse");
    }
    if (op == "GetStatus") {
        const Velocity now = motion_->Current();
        const char* panTilt = now.pan != 0 || now.tilt != 0 ? "MOVING" : "IDLE";
        const char* zoom = now.zoom != 0 ? "MOVING" : "IDLE";
        return Reply::Ok(
            "tptz:GetStatusResponse",
            Element("tptz:PTZStatus",
                    Element("tt:MoveStatus", OnvifTextElement("tt:PanTilt", panTilt) +
                                                 OnvifTextElement("tt:Zoom", zoom)) +
                        OnvifTextElement("tt:UtcTime", IsoTime(std::chrono::system_clock::now()))));
    }
    return Presets(request);
}

OnvifDevice::Reply OnvifDevice::Dispatch(const OnvifRequest& request, std::string_view base) {
    // Asked before authentication: a client learns the clock to build its token, and where the
    // services are.
    const bool open =
        request.service == kDeviceNamespace &&
        (request.operation == "GetSystemDateAndTime" || request.operation == "GetCapabilities");
    if (!users_.empty() && !open) {
        std::string why;
        if (!request.token) {
            why = "no UsernameToken";
        } else if (CheckUsernameToken(*request.token, users_, std::chrono::system_clock::now(),
                                      &nonces_, &why)) {
            why.clear();
        }
        if (!why.empty()) {
            log_throttle_.Write(&users_, "k47ptz-host: ONVIF device \"" + camera_.camera +
                                             "\" refused " + request.operation + ": " + why);
            return Reply::Fault("env:Sender", "ter:NotAuthorized", "Sender not Authorized");
        }
    }
    if (request.service == kDeviceNamespace)
        return DeviceOperation(request, base);
    if (request.service == kMediaNamespace)
        return MediaOperation(request);
    if (request.service == kPtzNamespace)
        return PtzOperation(request);
    return Reply::NotSupported("this device has no service " + request.service);
}

std::string OnvifDevice::HandleBody(std::string_view body, std::string_view base,
                                    unsigned* status) {
    OnvifFault fault;
    std::optional<OnvifRequest> request = ParseOnvifRequest(body, &fault);
    Reply reply;
    if (!request) {
        reply.fault = true;
        reply.faultText = fault;
    } else {
        try {
            reply = Dispatch(*request, base);
        } catch (const std::bad_alloc&) {
            reply = Reply::Fault("env:Receiver", "ter:Action", "out of memory");
        } catch (const std::exception& e) {
            g_ErrorHandling.WriteLog("k47ptz-host: ONVIF device \"%s\": %s\n",
                                     camera_.camera.c_str(), e.what());
            reply = Reply::Fault("env:Receiver", "ter:Action", "the device failed; see its log");
        }
    }
    if (!reply.fault) {
        *status = 200;
        return BuildOnvifResponse(reply.element, reply.inner);
    }
    // SOAP 1.2's HTTP binding: a Sender fault is the request's (400), the others the device's.
    *status = reply.faultText.code == "env:Sender" ? 400 : 500;
    return BuildOnvifFault(reply.faultText);
}

http::HttpResponse OnvifDevice::Handle(const http::HttpRequest& request) {
    http::HttpResponse response;
    response.contentType = "application/soap+xml; charset=utf-8";
    const std::optional<std::string> base = BaseFromHost(request.Header("Host").value_or(""));
    if (request.bodyTooLarge) {
        response.status = 400;
        response.body = BuildOnvifFault(
            {"env:Sender", "ter:InvalidArgVal", "the request is larger than this device accepts"});
        return response;
    }
    response.body = HandleBody(request.body, base.value_or(fallback_base_), &response.status);
    return response;
}

std::vector<http::Route> OnvifDevice::Routes() {
    std::vector<http::Route> routes;
    for (const char* path : {kDeviceServicePath, kMediaServicePath, kPtzServicePath}) {
        http::Route route;
        route.match = http::PathMatch::kExact;
        route.path = path;
        route.methods = {"POST"};
        route.contentTypes = {"application/soap+xml", "text/xml"};
        route.maxBodyBytes = kMaxOnvifRequestBytes;
        route.answersOversize = true;
        route.handler = [this](const http::HttpRequest& request) { return Handle(request); };
        routes.push_back(std::move(route));
    }
    return routes;
}

}  // namespace k47host::onvif
