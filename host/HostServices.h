// The host's network services: one HTTP(S) listener per ControlService element of the
// installation file, each serving the control web service's route and the status page
// (GET /status). A new service (a console, another protocol) adds its routes in
// HostServices::MakeRouter; docs/host-http.md.
//
// With Console="1" the console's page and API (host/ConsoleApi.h) are served too, guarded by
// ConsoleAccess.
//
// Lifetime: made after the installation is built and stopped before it shuts down, so that no
// request reaches a camera that is being terminated. Start and Stop on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/ControlService.h"
#include "host/HostObjects.h"
#include "host/http/HttpServer.h"

namespace k47host {

// The host's descriptor budget, for the start-up warning when the process limit is too low: each
// camera holds about kDescriptorsPerCamera (events, timers, its worker, its socket), the host
// kDescriptorMargin besides (runtime, log, object server), and each listener one per connection
// and a few for its threads.
inline constexpr uint64_t kDescriptorsPerCamera = 8;
inline constexpr uint64_t kDescriptorMargin = 64;
uint64_t ListenerDescriptors(const std::vector<ControlServiceSettings>& settings);
// How many cameras `limit` open descriptors allow next to these listeners (0 when none).
uint64_t CamerasWithinDescriptors(uint64_t limit,
                                  const std::vector<ControlServiceSettings>& settings);

// Who may use a listener's console routes: the file's <Users> when it has any, else the
// ControlService's own users; with users, only over HTTPS or from this machine.
std::shared_ptr<const http::RouteAccess> ConsoleAccess(const ControlServiceSettings& settings);

class HostServices {
  public:
    // `server` (the installation's) must outlive this object.
    HostServices(CInstallationServer* server, std::vector<ControlServiceSettings> settings);
    ~HostServices();
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    // Starts every listener in the file's order; false at the first that cannot listen (the
    // ones started before it keep running until Stop or the next Start).
    bool Start(std::string* error);
    // Closes every listener and waits for the requests being served; idempotent.
    void Stop();

    const std::vector<std::unique_ptr<http::HttpServer>>& Listeners() const { return listeners_; }

  private:
    http::Router MakeRouter(const ControlServiceSettings& settings) const;

    CInstallationServer* server_;
    std::vector<ControlServiceSettings> settings_;
    std::vector<std::unique_ptr<http::HttpServer>> listeners_;
};

}  // namespace k47host
