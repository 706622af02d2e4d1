// The exit codes of every program of the project (k47ptz-host, ptzctl, ptzsim, k47regsvr): one
// table, so that a script or a service manager reads the same failure the same way whichever tool
// reports it, and whether a camera was reached locally or through the control service.
// docs/operations.md ("Exit codes") lists them for users; change both together.
//
// Header only, no dependencies: the host and the tools include it without linking the library.
#pragma once

namespace k47exit {

enum Code : int {
    kOk = 0,             // done (a clean shutdown, a clean --check, the call succeeded)
    kFailed = 1,         // failed for a reason without a code of its own below
    kUsage = 2,          // the command line is wrong (unknown option, missing or bad value)
    kConfiguration = 3,  // the installation file is unusable, or --check (--strict) found problems
    kUnreachable = 4,    // a listen address cannot be bound, or no service answered
    kUnknownCamera = 5,  // no camera of that name in the installation
    kCertificate = 6,    // the HTTPS server's certificate was refused
    kNoModule = 7,       // the K47PTZ module is not registered, cannot be loaded, or is no module
    kLine = 8,           // a serial line cannot be opened, or was lost
};

}  // namespace k47exit
