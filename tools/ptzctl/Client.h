// How ptzctl reaches the library: a PTZClientRemote (or PTZClientLocal) created through the COM
// runtime — from the registry when the K47PTZ module is registered, else straight from the module
// file next to this program (../lib/libK47PTZ.so) or named with --module — and the failures of the
// calls translated into messages and exit codes for people and scripts.
#pragma once

#include <objbase.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "frame/K47PTZ.h"

namespace ptzctl {

// Exit codes.
enum Exit : int {
    kOk = 0,
    kUsage = 2,
    kUnreachable = 3,    // no control service answered (server down, wrong address or port)
    kUnknownCamera = 4,  // the service does not know the camera
    kCertificate = 5,    // the HTTPS server's certificate was refused
    kFailed = 6,         // the camera or the service refused the call
    kNoModule = 7,       // the K47PTZ module could not be found or loaded
};

// Creates the client object of class `clsid`; `module` may name the module file.
HRESULT CreateClient(REFCLSID clsid, const std::string& module, IK47PTZClient** client,
                     std::string* error);

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

// A message and an exit code for a failed call. `lines` are the library's log lines of the call.
Exit Explain(const char* what, HRESULT hr, const std::vector<std::string>& lines,
             std::string* message);

}  // namespace ptzctl
