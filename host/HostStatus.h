// The host's status: every line (protocol driver) with its state, every camera with its line, its
// address and the remote client that holds it. Served as JSON at GET /status on every control
// service listener (docs/host-http.md), and summed up in the start summary when a line is down.
//
// Read through the objects' status interfaces (IK47LineStatus, IK47CameraStatus), which never wait
// for a line: a status request does not slow the cameras, nor wait behind a stuck line. A driver
// without IK47LineStatus (a plug-in) has a line of state "unknown".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/HostObjects.h"
#include "host/Installation.h"
#include "host/http/Router.h"

namespace k47host {

struct LineStatus {
    std::string name;                      // the Protocol element's Name
    std::string protocol;                  // its ProgID
    std::optional<std::string> device;     // the port; nothing without one
    std::string state;                     // up, down, stuck, none (no port), unknown
    std::optional<std::string> lastError;  // since the line was configured; nothing when none
};

struct CameraStatus {
    std::string name;
    std::string line;                         // the protocol the camera is bound to
    std::optional<long long> address;         // nothing when the camera is not bound
    std::optional<std::string> sessionOwner;  // "a.b.c.d:port" of the client holding it
};

struct HostStatus {
    std::vector<LineStatus> lines;
    std::vector<CameraStatus> cameras;
};

HostStatus ReadHostStatus(CInstallationServer* server);

// `text` as a JSON string, quotes included: quote, backslash and control characters escaped,
// UTF-8 passed through, each byte that is not part of valid UTF-8 replaced by \ufffd (a client's
// parser would refuse the whole document for one).
std::string JsonString(std::string_view text);
// {"lines":[{"name","protocol","device","state","lastError"}...],
//  "cameras":[{"name","line","address","sessionOwner"}...]}; absent values are null.
std::string StatusJson(const HostStatus& status);

// Empty when every line is usable; else ", degraded: " and each line down or stuck
// ("line \"Name\" (DEVICE) is down"), separated by "; ".
std::string DegradedNote(const HostStatus& status);
// The start summary: "N protocol(s) configured, M camera(s) bound, K problem(s)" and the note.
std::string SummaryLine(const InstallationReport& report, CInstallationServer* server);

// GET (and HEAD) of "/status": 200, application/json, StatusJson. `server` must outlive every
// listener serving the route.
http::Route StatusRoute(CInstallationServer* server);

}  // namespace k47host
