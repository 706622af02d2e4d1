// The console's JSON API, served on a ControlService with Console="1" (docs/operations.md,
// "Console API"):
//
//   GET  /api/v1/cameras                  the status document (as GET /status)
//   POST /api/v1/cameras/{name}/move      {"pan","tilt","zoom","focus","iris": -100..100}
//   POST /api/v1/cameras/{name}/stop      {}
//   POST /api/v1/cameras/{name}/preset    {"action":"go"|"set"|"clear","number":1..N}
//   POST /api/v1/cameras/{name}/command   {"cmd":int,"arg":int}
//
// {name} is percent-encoded UTF-8. A POST needs Content-Type: application/json (else 415) and
// X-K47-Console: 1 (else 403): a page of another origin cannot send that header without a CORS
// preflight, which this host never grants, so it cannot steer the cameras through a browser.
// Success is 204; every error is {"error":"..."} with 400, 403, 404, 405 (with Allow), 409 or 503
// (the camera refused: 503 when its line or driver is unavailable), or 415.
//
// Camera calls go through the installation server's objects, on the listener's threads, several
// at once. A move is not stopped by this API: the page renews it while held and posts a stop on
// release; a page that dies leaves the camera to its own dead-man time-out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/HostObjects.h"
#include "host/http/HttpRequest.h"
#include "host/http/HttpResponse.h"
#include "host/http/Router.h"

namespace k47host {

inline constexpr const char* kConsoleApiRoot = "/api/v1/cameras";
inline constexpr const char* kConsoleHeader = "X-K47-Console";

// `text` with each %XX decoded; nothing when a '%' is not followed by two hex digits. '+' stays
// '+' (paths are not form data).
std::optional<std::string> PercentDecode(std::string_view text);

// What a POST path below kConsoleApiRoot names: the camera (decoded) and the action ("move",
// "stop", "preset", "command"; not checked here).
struct ConsoleTarget {
    std::string camera;
    std::string action;
};
// From the path as sent (HttpRequest::rawPath). 400 in *status (with *error) for a bad escape, a
// name that is empty, not UTF-8 or holds a control character; 404 for a path of another shape.
std::optional<ConsoleTarget> ParseConsolePath(std::string_view rawPath, unsigned* status,
                                              std::string* error);

// One POST below kConsoleApiRoot, as the route answers it (exceptions included, as 500).
http::HttpResponse HandleConsolePost(CInstallationServer* server, const http::HttpRequest& request);

// The API's routes (GET of the root, POST below it). `server` must outlive every listener serving
// them. Access (users, the channel rule) is the caller's to set on each.
std::vector<http::Route> ConsoleApiRoutes(CInstallationServer* server);

}  // namespace k47host
