// How ptzctl reaches the library: a PTZClientRemote (or PTZClientLocal) created through the COM
// runtime — from the registry when the K47PTZ module is registered, else straight from the module
// file next to this program (../lib/libK47PTZ.so in the build tree, ../lib/<arch>/libK47PTZ.so.1
// installed) or named with --module — and the failures of the calls translated into messages and
// exit codes for people and scripts.
#pragma once

#include <objbase.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "common/ExitCodes.h"
#include "frame/K47PTZ.h"

namespace ptzctl {

// The project's exit codes (common/ExitCodes.h).
using Exit = k47exit::Code;

// Creates the client object of class `clsid`; `module` may name the module file. On failure,
// *error says in words what is missing and what to do, *detail the system's own error.
HRESULT CreateClient(REFCLSID clsid, const std::string& module, IK47PTZClient** client,
                     std::string* error, std::string* detail);

// Collects K47Global's log lines while it lives (the library explains its failures there).
class LogCollector {
  public:
    LogCollector();
    ~LogCollector();
    LogCollector(const LogCollector&) = delete;
    LogCollector& operator=(const LogCollector&) = delete;
    std::vector<std::string> Lines() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Ends a motion cut short (an interruption, leaving the keyboard mode): zero speeds first, which
// the camera turns into a stop at once, then the end of motion, after which it repeats the stop.
// An end of motion alone would give the first stop only after the camera's repeat interval.
// Returns the first failure.
HRESULT EndMotionNow(IK47PTZClient* client);

// What a call was aimed at, for the messages.
struct Target {
    std::string camera;
    std::string server;  // the control service's address; unused when local
    bool local = false;
};

// A message and an exit code for a failed call: what failed, on which camera or server, and what
// to do. `lines` are the library's log lines of the call; they and the HRESULT are added only
// when `verbose`. An unknown camera gives kUnknownCamera whether the client is local or remote.
Exit Explain(const char* what, HRESULT hr, const std::vector<std::string>& lines,
             const Target& target, bool verbose, std::string* message);

}  // namespace ptzctl
