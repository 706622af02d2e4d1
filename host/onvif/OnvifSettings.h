// What the installation file says about the ONVIF bridge: the <Onvif> element and each published
// camera (a Camera element with OnvifPort). Read by Installation, used by OnvifBridge.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/http/Access.h"
#include "host/onvif/OnvifSoap.h"

namespace k47host::onvif {

// One camera published as its own ONVIF device.
struct OnvifCameraSettings {
    std::string camera;       // the Camera's Name (UTF-8)
    uint16_t port = 0;        // OnvifPort
    std::string streamUri;    // where the camera's encoder serves its video; empty: none known
    std::string snapshotUri;  // likewise a still image
    std::string manufacturer;
    std::string model;
};

struct OnvifSettings {
    bool enabled = false;  // an <Onvif> element is there
    std::string listenAddress = "0.0.0.0";
    bool discovery = false;
    // A ContinuousMove without its own Timeout lasts defaultTimeout; none lasts past maxTimeout.
    std::chrono::milliseconds defaultTimeout{10000};
    std::chrono::milliseconds maxTimeout{60000};
    // Where preset names are kept across restarts (empty: in memory only).
    std::string presetFile;
    std::vector<http::AddressPrefix> allowedClients;  // empty: every client
    std::vector<OnvifUser> users;  // the file's <Users>; empty: no authentication
    std::vector<OnvifCameraSettings> cameras;
};

// The preset file when PresetFile is not given: under systemd's StateDirectory when the service
// has one, else /var/lib/k47ptz.
std::string DefaultPresetFile();

// An xs:duration ("PT10S", "PT0.5S", "PT1M30S", "P1DT2H") as milliseconds; nothing when it is not
// one, is negative, or holds years or months (whose length is not fixed).
std::optional<std::chrono::milliseconds> ParseXsDuration(std::string_view text);
// Milliseconds as an xs:duration ("PT10S", "PT1.5S").
std::string FormatXsDuration(std::chrono::milliseconds duration);

}  // namespace k47host::onvif
