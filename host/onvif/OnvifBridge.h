// The ONVIF bridge: every camera of the installation with an OnvifPort published as its own ONVIF
// device (an HTTP listener on that port serving an OnvifDevice), the preset names' store, and,
// with Discovery="1", WS-Discovery announcing and answering for them (docs/onvif.md).
//
// Lifetime: started after the installation is built (and its cameras stopped), stopped before it
// shuts down, on the main thread, like HostServices. Stop ends every kept motion with a stop, so
// a camera a client left moving does not wait for its time-out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/HostObjects.h"
#include "host/http/HttpServer.h"
#include "host/onvif/OnvifDevice.h"
#include "host/onvif/OnvifSettings.h"
#include "host/onvif/PresetNames.h"
#include "host/onvif/WsDiscovery.h"

namespace k47host::onvif {

class OnvifBridge {
  public:
    // `server` must outlive the bridge. `renewEvery`: the motion keepers' renewal period.
    OnvifBridge(CInstallationServer* server, OnvifSettings settings,
                std::chrono::milliseconds renewEvery = std::chrono::seconds(1));
    ~OnvifBridge();
    OnvifBridge(const OnvifBridge&) = delete;
    OnvifBridge& operator=(const OnvifBridge&) = delete;

    // Nothing to do (true) without an <Onvif> element. Else reads the preset names (a damaged
    // file is logged, not fatal), starts a listener per published camera that is bound (one that
    // is not is logged and left out), then discovery. False with *error at the first listener or
    // discovery socket that cannot start (the ones started before are stopped again).
    bool Start(std::string* error);
    // Discovery's Bye, the listeners closed (waiting for the requests being served), every kept
    // motion stopped. Idempotent.
    void Stop();

    // The device service's address of each published camera, with its name, for the start-up
    // lines: {"Lobby", "http://0.0.0.0:8081/onvif/device_service"}.
    std::vector<std::pair<std::string, std::string>> Published() const;

  private:
    CInstallationServer* server_;
    OnvifSettings settings_;
    std::chrono::milliseconds renew_every_;
    std::unique_ptr<PresetNames> presets_;
    // Devices before listeners: the listeners' handlers call them, and are stopped first.
    std::vector<std::unique_ptr<OnvifDevice>> devices_;
    std::vector<std::unique_ptr<http::HttpServer>> listeners_;
    std::unique_ptr<WsDiscovery> discovery_;
};

}  // namespace k47host::onvif
