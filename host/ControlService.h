// The control web service of the host: SOAP 1.1 over HTTP or HTTPS at
// ".../VLTControl/VLTControl.asmx", answering StartRemoteSessionPTZ, PtzCommand, PtzMenuCommand
// and PtzQueryFunctions on the installation's cameras, and a Client fault for every other
// operation. A route of the host's HTTP layer (host/http/): camera calls run on the listener's
// threads, several at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/HostObjects.h"
#include "host/SoapService.h"
#include "host/http/HttpServer.h"
#include "host/http/Router.h"

namespace k47host {

// One ControlService element of the installation file: a listener and what it tells clients.
struct ControlServiceSettings {
    http::HttpServerSettings http;  // listen address, port, TLS, limits, access
    uint32_t reportAddress = 0;     // IPv4 (host order) handed to remote clients, or 0
    // Where the cameras take this endpoint's clients' datagrams: IPv4, host order, INADDR_ANY for
    // every address. DatagramListen, else the IPv4 form of the listen address.
    uint32_t datagramAddress = 0;
    // Console="1": the console page and its JSON API (/ , /console/..., /api/v1/...) are served.
    bool console = false;
    // The users of the file's top-level <Users> element, the same for every ControlService; they
    // guard the console and its API (HostServices).
    http::AuthSettings consoleUsers;
};

// Answers one SOAP request; the HTTP status goes to *status (200, or 500 for a fault). The
// request's SOAPAction header (nothing: absent) must name the operation of the body, else a
// Client fault answers and no camera is called. The camera calls go to `server`.
std::string HandleSoapRequest(CInstallationServer* server, uint32_t reportAddress,
                              std::optional<std::string_view> soapAction, std::string_view body,
                              unsigned* status);
// The body alone, without the SOAPAction check: for callers that have no HTTP request (tests,
// the fuzzer).
std::string HandleSoapRequest(CInstallationServer* server, uint32_t reportAddress,
                              std::string_view body, unsigned* status);

// What GET and HEAD of the service's path answer: what the endpoint is and how to call it.
std::string ControlServiceHelpText();

// The service's route, on any path ending in "/VLTControl/VLTControl.asmx": POST with a text/xml
// body (others 415) is a SOAP request; GET and HEAD get the help text. Bodies over
// kMaxRequestBytes get a Client fault (not a bare 413: the clients read faults), an exception
// from a camera call a Server fault. `server` must outlive every listener serving the route.
http::Route ControlServiceRoute(CInstallationServer* server, uint32_t reportAddress);

}  // namespace k47host
