// The host's status: every line (protocol driver) with its state, every camera with its line, its
// address and the remote client that holds it. Served as JSON at GET /status on every control
// service listener (docs/host-http.md), and summed up in the start summary when a line is down.
//
// Read through the objects' status interfaces (IK47LineStatus, IK47CameraStatus), which never wait
// for a line: a status request does not slow the cameras, nor wait behind a stuck line. A driver
// without IK47LineStatus (a plug-in) has a line of state "unknown". The counters come the same way
// (IK47LineCounters, IK47CameraCounters): relaxed atomics, read without a lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/HostObjects.h"
#include "host/Installation.h"
#include "host/http/Router.h"

namespace k47host {

// What a line has done since its driver was created (K47LINECOUNTERS).
struct LineCounters {
    uint64_t framesWritten = 0;
    uint64_t bytesWritten = 0;
    uint64_t movesDropped = 0;
    uint64_t writeFailures = 0;
    uint64_t writeTimeouts = 0;
    uint64_t reopens = 0;
};

// What a camera has done since it was created (K47CAMERACOUNTERS).
struct CameraCounters {
    uint64_t moves = 0;
    uint64_t stops = 0;
    uint64_t deadManStops = 0;
    uint64_t repeatedStops = 0;
    uint64_t datagramsAccepted = 0;
    uint64_t datagramsStale = 0;
    uint64_t datagramsForeign = 0;
    uint64_t datagramsMalformed = 0;
    uint64_t sessionsStarted = 0;
    uint64_t lastCommand = 0;                  // K47CAMERACALL << 16 | code; 0 before any call
    std::optional<uint64_t> lastCommandAgeMs;  // at the time of the read; nothing before any call
};

struct LineStatus {
    std::string name;                      // the Protocol element's Name
    std::string protocol;                  // its ProgID
    std::optional<std::string> device;     // the port; nothing without one
    std::string state;                     // up, down, stuck, none (no port), unknown
    std::optional<std::string> lastError;  // since the line was configured; nothing when none
    std::optional<LineCounters> counters = std::nullopt;  // nothing when the driver keeps none
};

struct CameraStatus {
    std::string name;
    std::string line;                         // the protocol the camera is bound to
    std::optional<long long> address;         // nothing when the camera is not bound
    std::optional<std::string> sessionOwner;  // "a.b.c.d:port" of the client holding it
    std::optional<CameraCounters> counters = std::nullopt;  // nothing when the camera keeps none
};

struct HostStatus {
    std::vector<LineStatus> lines;
    std::vector<CameraStatus> cameras;
    int64_t readAtUnixMs = 0;  // the wall-clock time of the read: last command ages count from it
};

HostStatus ReadHostStatus(CInstallationServer* server);

// The length of the UTF-8 sequence starting at text[at], or 0 when it is not valid UTF-8
// (overlong forms, surrogates and code points past U+10FFFF are not).
size_t Utf8SequenceLength(std::string_view text, size_t at);

// `text` as a JSON string, quotes included: quote, backslash and control characters escaped,
// UTF-8 passed through, each byte that is not part of valid UTF-8 replaced by \ufffd (a client's
// parser would refuse the whole document for one).
std::string JsonString(std::string_view text);
// {"lines":[{"name","protocol","device","state","lastError","counters"}...],
//  "cameras":[{"name","line","address","sessionOwner","counters"}...]}; absent values are null.
// A line's counters: {"framesWritten","bytesWritten","movesDropped","writeFailures",
// "writeTimeouts","reopens"}; a camera's: {"moves","stops","deadManStops","repeatedStops",
// "datagramsAccepted","datagramsStale","datagramsForeign","datagramsMalformed","sessionsStarted",
// "lastCommand","lastCommandAgeMs"}, the last command in words (LastCommandText).
std::string StatusJson(const HostStatus& status);

// The last control call in words: "move", "stop", "end motion", "command 7", "menu 3"; nothing
// before any call (0), or for a kind this host does not know.
std::optional<std::string> LastCommandText(uint64_t lastCommand);

// Empty when every line is usable; else ", degraded: " and each line down or stuck
// ("line \"Name\" (DEVICE) is down"), separated by "; ".
std::string DegradedNote(const HostStatus& status);
// The start summary: "N protocol(s) configured, M camera(s) bound, K problem(s)" and the note.
std::string SummaryLine(const InstallationReport& report, CInstallationServer* server);

// GET (and HEAD) of "/status": 200, application/json, StatusJson. `server` must outlive every
// listener serving the route.
http::Route StatusRoute(CInstallationServer* server);

}  // namespace k47host
