// The control web service of the host: SOAP 1.1 over HTTP or HTTPS at
// ".../VLTControl/VLTControl.asmx", answering StartRemoteSessionPTZ, PtzCommand, PtzMenuCommand
// and PtzQueryFunctions on the installation's cameras, and a Client fault for every other
// operation. A route of the host's HTTP layer (host/http/): camera calls run on the listener's
// threads, several at once.
#pragma once

#include <cstdint>
#include <string>

#include "host/HostObjects.h"
#include "host/SoapService.h"
#include "host/http/HttpServer.h"
#include "host/http/Router.h"

namespace k47host {

// One ControlService element of the installation file: a listener and what it tells clients.
struct ControlServiceSettings {
    http::HttpServerSettings http;  // listen address, port, TLS, limits, access
    uint32_t reportAddress = 0;     // IPv4 (host order) handed to remote clients, or 0
};

// Answers one SOAP request body; the HTTP status goes to *status (200, or 500 for a fault).
// The camera calls go to `server`. Used by the service and by tests without a socket.
std::string HandleSoapRequest(CInstallationServer* server, uint32_t reportAddress,
                              std::string_view body, unsigned* status);

// The service's route: POST on any path ending in "/VLTControl/VLTControl.asmx". Bodies over
// kMaxRequestBytes get a Client fault (not a bare 413: the clients read faults), an exception
// from a camera call a Server fault. `server` must outlive every listener serving the route.
http::Route ControlServiceRoute(CInstallationServer* server, uint32_t reportAddress);

}  // namespace k47host
