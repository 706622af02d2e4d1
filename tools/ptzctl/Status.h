// ptzctl list and ptzctl status: the host's status page (GET /status, a JSON document; see
// docs/host-http.md) read over HTTP or HTTPS with libcurl, and shown as tables for people.
//
// With --local, status asks the installation server on this machine (its object server) for the
// camera, its line and the line's driver; list is remote only, as the object server names no list
// of its cameras.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/ptzctl/Client.h"

namespace ptzctl {

// A counter the document did not give as a whole number is -1 (shown as "-").
struct StatusLineCounters {
    long long framesWritten = -1;
    long long bytesWritten = -1;
    long long movesDropped = -1;
    long long writeFailures = -1;
    long long writeTimeouts = -1;
    long long reopens = -1;
};

struct StatusCameraCounters {
    long long moves = -1;
    long long stops = -1;
    long long deadManStops = -1;
    long long repeatedStops = -1;
    long long datagramsAccepted = -1;
    long long datagramsStale = -1;
    long long datagramsForeign = -1;
    long long datagramsMalformed = -1;
    long long sessionsStarted = -1;
    std::string lastCommand;  // "move", "command 7", ...; empty: none yet
    long long lastCommandAgeMs = -1;
};

struct StatusLine {
    std::string name;
    std::string protocol;
    std::string device;  // empty: none
    std::string state;
    std::string lastError;                                      // empty: none
    std::optional<StatusLineCounters> counters = std::nullopt;  // nothing: not reported
};

struct StatusCamera {
    std::string name;
    std::string line;
    std::optional<long long> address;
    std::string sessionOwner;                                     // empty: none
    std::optional<StatusCameraCounters> counters = std::nullopt;  // nothing: not reported
};

struct StatusDocument {
    std::vector<StatusLine> lines;
    std::vector<StatusCamera> cameras;
};

// Reads the host's document; false with *error when it is not one.
bool ParseStatus(std::string_view json, StatusDocument* status, std::string* error);

// The lines, then the cameras, as two tables.
std::string FormatList(const StatusDocument& status);
// What ptzctl status says about `camera`: its line and that line's state, who holds it, and the
// counters of both when the host reports them. Nothing when the document has no such camera.
std::optional<std::string> FormatCameraStatus(const StatusDocument& status,
                                              const std::string& camera);

// GET of "/status" at the scheme and authority of `server` (a path after them is dropped: the
// page is at the root). kOk with the body, else the exit code and a message.
Exit FetchStatus(const std::string& server, std::string* body, std::string* message);

// --local: the camera `name` and its line from the object server. A failure's HRESULT for
// Explain (the camera unknown: HRESULT_FROM_WIN32(ERROR_NOT_FOUND)).
HRESULT ReadLocalCameraStatus(const std::string& name, StatusDocument* status);

}  // namespace ptzctl
