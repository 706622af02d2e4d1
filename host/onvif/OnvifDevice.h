// One camera of the installation as an ONVIF device: the Device, Media and PTZ services' operations
// on SOAP 1.2, answered from the camera's settings and carried out on its camera object.
//
// The device has one media profile ("profile_1") holding a video source, a nominal video encoder
// (the camera's encoder is not ours; StreamUri and SnapshotUri point at it) and a PTZ
// configuration on one PTZ node. ContinuousMove velocities (-1..1) become speeds (-100..100) and
// are renewed by a MotionKeeper until Stop or the move's time-out; presets are the camera's
// numbered presets, their names kept in PresetNames.
//
// Authentication: when users exist, every operation but GetSystemDateAndTime and GetCapabilities
// needs a WS-Security UsernameToken of one of them (ter:NotAuthorized otherwise).
//
// Thread-safety: Handle runs on the listener's threads, several at once; the device's state is
// the keeper's, the nonce cache's and the preset store's, each with its own lock.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "host/HostObjects.h"
#include "host/http/HttpRequest.h"
#include "host/http/HttpResponse.h"
#include "host/http/LogThrottle.h"
#include "host/http/Router.h"
#include "host/onvif/OnvifMotion.h"
#include "host/onvif/OnvifSettings.h"
#include "host/onvif/OnvifSoap.h"
#include "host/onvif/PresetNames.h"

namespace k47host::onvif {

inline constexpr char kDeviceServicePath[] = "/onvif/device_service";
inline constexpr char kMediaServicePath[] = "/onvif/media_service";
inline constexpr char kPtzServicePath[] = "/onvif/ptz_service";

inline constexpr char kProfileToken[] = "profile_1";
inline constexpr char kVideoSourceToken[] = "video_source";
inline constexpr char kVideoSourceConfigurationToken[] = "video_source_config";
inline constexpr char kVideoEncoderToken[] = "video_encoder";
inline constexpr char kPtzNodeToken[] = "ptz_node";
inline constexpr char kPtzConfigurationToken[] = "ptz_config";
// The preset GotoHomePosition goes to.
inline constexpr unsigned kHomePreset = 1;
// Presets offered when the camera does not tell how many it has.
inline constexpr unsigned kDefaultPresetCount = 64;
// ONVIF names are xs:string of at most this many bytes in practice; longer ones are refused.
inline constexpr size_t kMaxPresetNameBytes = 64;

// The scopes a device announces (GetScopes, discovery): type, name, hardware, location-free.
std::vector<std::string> DeviceScopes(const OnvifCameraSettings& camera);

class OnvifDevice {
  public:
    // `server` and `presets` must outlive the device; `renewEvery` is the keeper's renewal period.
    OnvifDevice(CInstallationServer* server, OnvifCameraSettings camera,
                const OnvifSettings& bridge, PresetNames* presets,
                std::chrono::milliseconds renewEvery = std::chrono::seconds(1));
    ~OnvifDevice();
    OnvifDevice(const OnvifDevice&) = delete;
    OnvifDevice& operator=(const OnvifDevice&) = delete;

    // One request's body as the services answer it; *status is 200, 400 (a Sender fault) or 500.
    // `base` is "http://host:port" as the client reached the device (its service addresses are
    // built on it).
    std::string HandleBody(std::string_view body, std::string_view base, unsigned* status);
    // The route handler: the base from the Host header (when it is a plain host[:port]).
    http::HttpResponse Handle(const http::HttpRequest& request);
    // The routes of the three services, all served by Handle.
    std::vector<http::Route> Routes();

    const OnvifCameraSettings& Camera() const { return camera_; }
    // Stops a motion still kept (the bridge's shutdown, before the cameras go).
    void StopMotion();
    // The fallback base when a request's Host header is unusable ("http://listen:port").
    void SetFallbackBase(std::string base) { fallback_base_ = std::move(base); }

  private:
    struct Reply;
    Reply Dispatch(const OnvifRequest& request, std::string_view base);
    Reply DeviceOperation(const OnvifRequest& request, std::string_view base);
    Reply MediaOperation(const OnvifRequest& request);
    Reply PtzOperation(const OnvifRequest& request);
    Reply ContinuousMove(const OnvifRequest& request);
    Reply Presets(const OnvifRequest& request);
    HRESULT SendMotion(const Velocity& velocity);
    HRESULT CameraCommand(PTZCOMMAND command, unsigned argument);
    unsigned PresetCount();
    std::string ProfileXml(const char* element);
    std::string NodeXml(const char* element);
    std::string ConfigurationXml(const char* element);

    CInstallationServer* const server_;
    const OnvifCameraSettings camera_;
    const std::chrono::milliseconds default_timeout_;
    const std::chrono::milliseconds max_timeout_;
    const std::vector<OnvifUser> users_;
    PresetNames* const presets_;
    std::string fallback_base_;
    NonceCache nonces_;
    http::LogThrottle log_throttle_{std::chrono::seconds(10)};
    // Last: its thread may call SendMotion until it is destroyed.
    std::unique_ptr<MotionKeeper> motion_;
};

}  // namespace k47host::onvif
