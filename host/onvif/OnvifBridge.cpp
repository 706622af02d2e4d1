// The ONVIF bridge's listeners, devices and discovery.
#include "host/onvif/OnvifBridge.h"

#include <k47/strings.h>

#include "common/K47Global.h"

using Microsoft::WRL::ComPtr;

namespace k47host::onvif {

namespace {

// An ONVIF listener serves one client or a few (a video-management server, an operator's tool):
// fewer threads and connections than a control service.
constexpr unsigned kListenerThreads = 2;
constexpr unsigned kListenerConnections = 64;

}  // namespace

OnvifBridge::OnvifBridge(CInstallationServer* server, OnvifSettings settings,
                         std::chrono::milliseconds renewEvery)
    : server_(server), settings_(std::move(settings)), renew_every_(renewEvery) {}

OnvifBridge::~OnvifBridge() {
    Stop();
}

bool OnvifBridge::Start(std::string* error) {
    Stop();
    if (!settings_.enabled)
        return true;
    presets_ = std::make_unique<PresetNames>(settings_.presetFile);
    std::string loadError;
    std::string warning;
    if (!presets_->Load(&loadError, &warning))
        g_ErrorHandling.WriteLog(
            "k47ptz-host: ONVIF preset names cannot be read from %s (%s); names set now are kept "
            "but earlier ones are not shown\n",
            settings_.presetFile.c_str(), loadError.c_str());
    if (!warning.empty())
        g_ErrorHandling.WriteLog("k47ptz-host: ONVIF preset names in %s: %s\n",
                                 settings_.presetFile.c_str(), warning.c_str());

    WsDiscoverySettings discovery;
    discovery.listenAddress = settings_.listenAddress;
    const bool anyAddress = settings_.listenAddress == "0.0.0.0";
    for (const OnvifCameraSettings& camera : settings_.cameras) {
        ComPtr<IK47PTZCamera> bound;
        if (FAILED(server_->FindCamera(k47::Utf8ToUtf16(camera.camera), bound.GetAddressOf())) ||
            !bound) {
            g_ErrorHandling.WriteLog(
                "k47ptz-host: camera \"%s\" is not published on ONVIF: it is not bound to a "
                "protocol driver (see the lines above)\n",
                camera.camera.c_str());
            continue;
        }
        auto device =
            std::make_unique<OnvifDevice>(server_, camera, settings_, presets_.get(), renew_every_);
        device->SetFallbackBase("http://" +
                                (anyAddress ? std::string("127.0.0.1") : settings_.listenAddress) +
                                ":" + std::to_string(camera.port));
        http::HttpServerSettings listen;
        listen.listenAddress = settings_.listenAddress;
        listen.port = camera.port;
        listen.allowedClients = settings_.allowedClients;
        listen.limits.threads = kListenerThreads;
        listen.limits.connections = kListenerConnections;
        http::Router router;
        for (http::Route& route : device->Routes())
            router.Add(std::move(route));
        auto listener = std::make_unique<http::HttpServer>(listen, std::move(router));
        std::string listenError;
        if (!listener->Start(&listenError)) {
            *error = "the ONVIF device of camera \"" + camera.camera + "\" cannot listen on " +
                     settings_.listenAddress + " port " + std::to_string(camera.port) + ": " +
                     listenError;
            Stop();
            return false;
        }
        DiscoveryDevice announced;
        announced.endpoint = DeviceUuid(camera.camera);
        announced.port = camera.port;
        announced.path = kDeviceServicePath;
        announced.scopes = DeviceScopes(camera);
        if (!anyAddress)
            announced.fixedAddress = settings_.listenAddress;
        discovery.devices.push_back(std::move(announced));
        devices_.push_back(std::move(device));
        listeners_.push_back(std::move(listener));
    }
    if (settings_.discovery && !devices_.empty()) {
        discovery_ = std::make_unique<WsDiscovery>(std::move(discovery));
        std::string discoveryError;
        if (!discovery_->Start(&discoveryError)) {
            *error = "ONVIF discovery cannot start: " + discoveryError;
            Stop();
            return false;
        }
    }
    return true;
}

void OnvifBridge::Stop() {
    discovery_.reset();
    listeners_.clear();
    for (const auto& device : devices_)
        device->StopMotion();
    devices_.clear();
    presets_.reset();
}

std::vector<std::pair<std::string, std::string>> OnvifBridge::Published() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t i = 0; i < devices_.size() && i < listeners_.size(); ++i)
        out.emplace_back(devices_[i]->Camera().camera,
                         listeners_[i]->BaseUrl() + kDeviceServicePath);
    return out;
}

}  // namespace k47host::onvif
