// The host's listeners and the routes they serve.
#include "host/HostServices.h"

namespace k47host {

HostServices::HostServices(CInstallationServer* server,
                           std::vector<ControlServiceSettings> settings)
    : server_(server), settings_(std::move(settings)) {}

HostServices::~HostServices() {
    Stop();
}

http::Router HostServices::MakeRouter(const ControlServiceSettings& settings) const {
    http::Router router;
    router.Add(ControlServiceRoute(server_, settings.reportAddress));
    return router;
}

bool HostServices::Start(std::string* error) {
    Stop();  // a second start (after a failure) begins anew
    for (const ControlServiceSettings& settings : settings_) {
        auto listener = std::make_unique<http::HttpServer>(settings.http, MakeRouter(settings));
        if (!listener->Start(error))
            return false;
        listeners_.push_back(std::move(listener));
    }
    return true;
}

void HostServices::Stop() {
    listeners_.clear();
}

}  // namespace k47host
