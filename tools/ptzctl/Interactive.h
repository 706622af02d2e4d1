// ptzctl's keyboard mode: arrow keys pan and tilt, + and - zoom, digits recall presets, space
// stops, q quits. A motion lasts while its key repeats and ends when the key is let go (no
// repeat for a while), so the camera moves only while a key is held. However the mode ends
// (q, Ctrl-C or Ctrl-D, the end of input, a failed call, `interrupted` becoming readable), a
// motion under way is ended with zero speeds and then the end of motion.
#pragma once

#include <functional>
#include <string>

#include "frame/K47PTZ.h"

namespace ptzctl {

// Prints why a call failed and gives the exit code for it.
using FailureReport = std::function<int(const char* what, HRESULT hr)>;

// `interrupted`: a descriptor that becomes readable when the program is to end, or -1.
int RunInteractive(IK47PTZClient* client, const std::string& camera, int speed, int interrupted,
                   const FailureReport& fail);

}  // namespace ptzctl
