// The host's listeners and the routes they serve.
#include "host/HostServices.h"

#include "host/ConsoleApi.h"
#include "host/ConsolePage.h"
#include "host/HostStatus.h"
#include "host/Metrics.h"

namespace k47host {

uint64_t ListenerDescriptors(const std::vector<ControlServiceSettings>& settings) {
    uint64_t total = 0;
    for (const ControlServiceSettings& service : settings) {
        const http::HttpLimits& limits = service.http.limits;
        // The listening socket, and per thread its epoll descriptor and its wake-up pipe.
        total += limits.connections + 1 + 2 * static_cast<uint64_t>(limits.threads);
    }
    return total;
}

uint64_t CamerasWithinDescriptors(uint64_t limit,
                                  const std::vector<ControlServiceSettings>& settings) {
    const uint64_t reserved = kDescriptorMargin + ListenerDescriptors(settings);
    return limit > reserved ? (limit - reserved) / kDescriptorsPerCamera : 0;
}

HostServices::HostServices(CInstallationServer* server,
                           std::vector<ControlServiceSettings> settings)
    : server_(server), settings_(std::move(settings)) {}

HostServices::~HostServices() {
    Stop();
}

std::shared_ptr<const http::RouteAccess> ConsoleAccess(const ControlServiceSettings& settings) {
    auto access = std::make_shared<http::RouteAccess>();
    // The file's <Users> when it names any; else the ControlService's own users, so that an
    // endpoint that asked every client for credentials still does on its console.
    access->auth = settings.consoleUsers.Enabled() ? settings.consoleUsers : settings.http.auth;
    access->privateChannelWithUsers = true;
    return access;
}

http::Router HostServices::MakeRouter(const ControlServiceSettings& settings) const {
    http::Router router;
    router.Add(ControlServiceRoute(server_, settings.reportAddress));
    router.Add(StatusRoute(server_));
    if (settings.console) {
        std::shared_ptr<const http::RouteAccess> access = ConsoleAccess(settings);
        std::vector<http::Route> routes = ConsoleApiRoutes(server_);
        for (http::Route& route : ConsolePageRoutes())
            routes.push_back(std::move(route));
        for (http::Route& route : routes) {
            route.access = access;
            router.Add(std::move(route));
        }
    }
    router.Add(MetricsRoute(server_));
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
