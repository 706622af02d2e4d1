// ptzctl's keyboard mode: arrow keys pan and tilt, + and - zoom, digits recall presets, space
// stops, q quits. A motion lasts while its key repeats and ends when the key is let go (no
// repeat for a while), so the camera moves only while a key is held.
#pragma once

#include <string>

#include "frame/K47PTZ.h"

namespace ptzctl {

int RunInteractive(IK47PTZClient* client, const std::string& camera, int speed);

}  // namespace ptzctl
