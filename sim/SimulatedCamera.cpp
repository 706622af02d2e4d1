// Simulated camera state (rules in SimulatedCamera.h).
#include "sim/SimulatedCamera.h"

#include <algorithm>
#include <cmath>

namespace k47::sim {

namespace {

// Signed fraction of full speed of a commanded axis.
double Rate(const Axis& axis) {
    if (axis.direction == 0) {
        return 0;
    }
    double fraction = axis.full_scale > 0 ? static_cast<double>(axis.speed) / axis.full_scale : 1.0;
    return axis.direction * fraction;
}

double Clamp01(double v) {
    return std::clamp(v, 0.0, 1.0);
}

double WrapDegrees(double deg) {
    double wrapped = std::fmod(deg, 360.0);
    if (wrapped < 0) {
        wrapped += 360.0;
    }
    // fmod of a tiny negative value plus 360 can round to exactly 360
    return wrapped >= 360.0 ? 0.0 : wrapped;
}

}  // namespace

SimulatedCamera::SimulatedCamera(Protocol protocol, const CameraLimits& limits)
    : protocol_(protocol), limits_(limits) {}

bool SimulatedCamera::moving() const {
    return state_.pan.direction || state_.tilt.direction || state_.zoom_motion.direction ||
           state_.focus_motion.direction || state_.iris_motion.direction;
}

void SimulatedCamera::AdvanceTo(SimTime now) {
    if (!started_) {
        started_ = true;
        last_ = now;
        return;
    }
    if (now <= last_) {
        return;
    }
    const double dt = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    state_.pan_deg = WrapDegrees(state_.pan_deg + Rate(state_.pan) * limits_.pan_deg_per_s * dt);
    state_.tilt_deg = std::clamp(state_.tilt_deg + Rate(state_.tilt) * limits_.tilt_deg_per_s * dt,
                                 limits_.tilt_min_deg, limits_.tilt_max_deg);
    if (limits_.zoom_full_travel_s > 0) {
        state_.zoom =
            Clamp01(state_.zoom + Rate(state_.zoom_motion) * dt / limits_.zoom_full_travel_s);
    }
    if (limits_.focus_full_travel_s > 0) {
        state_.focus =
            Clamp01(state_.focus + Rate(state_.focus_motion) * dt / limits_.focus_full_travel_s);
    }
    if (limits_.iris_full_travel_s > 0) {
        state_.iris =
            Clamp01(state_.iris + Rate(state_.iris_motion) * dt / limits_.iris_full_travel_s);
    }
}

void SimulatedCamera::Move(const DecodedFrame& frame) {
    state_.pan = frame.pan;
    state_.tilt = frame.tilt;
    state_.zoom_motion = frame.zoom;
    state_.focus_motion = frame.focus;
    state_.iris_motion = frame.iris;
}

void SimulatedCamera::MenuStep(FrameKind action) {
    if (state_.menu_open) {
        state_.last_menu_action = action;
        ++state_.menu_actions;
    }
}

void SimulatedCamera::Recall(int preset) {
    Move(DecodedFrame{});  // a recall ends any motion
    state_.last_recall = preset;
    auto it = state_.presets.find(preset);
    state_.last_recall_found = it != state_.presets.end();
    if (state_.last_recall_found) {
        state_.pan_deg = it->second.pan_deg;
        state_.tilt_deg = it->second.tilt_deg;
        state_.zoom = it->second.zoom;
        state_.focus = it->second.focus;
    }
}

void SimulatedCamera::Apply(const DecodedFrame& frame, SimTime now) {
    AdvanceTo(now);
    if (frame.kind == FrameKind::kMalformed) {
        return;
    }
    ++state_.frames;
    const bool pelco = protocol_ == Protocol::kPelcoD;
    const bool menu_trigger_set = pelco && limits_.menu_on_set_preset &&
                                  frame.kind == FrameKind::kPresetSet &&
                                  frame.preset == limits_.menu_preset;
    const bool menu_trigger_go = pelco && !limits_.menu_on_set_preset &&
                                 frame.kind == FrameKind::kPresetGo &&
                                 frame.preset == limits_.menu_preset;
    if (menu_trigger_set || menu_trigger_go) {
        Move(DecodedFrame{});
        state_.menu_open = !state_.menu_open;
        state_.last_menu_action = state_.menu_open ? FrameKind::kMenuOpen : FrameKind::kMenuClose;
        return;
    }
    switch (frame.kind) {
        case FrameKind::kMove:
        case FrameKind::kStop:
            if (pelco && state_.menu_open) {
                if (frame.tilt.direction > 0) {
                    MenuStep(FrameKind::kMenuUp);
                } else if (frame.tilt.direction < 0) {
                    MenuStep(FrameKind::kMenuDown);
                } else if (frame.pan.direction < 0) {
                    MenuStep(FrameKind::kMenuLeft);
                } else if (frame.pan.direction > 0) {
                    MenuStep(FrameKind::kMenuRight);
                }
                return;
            }
            Move(frame);
            return;
        case FrameKind::kPresetSet:
            state_.presets[frame.preset] =
                PresetPosition{state_.pan_deg, state_.tilt_deg, state_.zoom, state_.focus};
            return;
        case FrameKind::kPresetClear:
            state_.presets.erase(frame.preset);
            return;
        case FrameKind::kPresetGo:
            Recall(frame.preset);
            return;
        case FrameKind::kAutoFocus:
            state_.auto_focus = frame.arg;
            return;
        case FrameKind::kAutoIris:
            state_.auto_iris = frame.arg;
            return;
        case FrameKind::kAutoAgc:
            state_.agc = frame.arg;
            return;
        case FrameKind::kBacklight:
            state_.backlight = frame.arg;
            return;
        case FrameKind::kWhiteBalance:
            state_.white_balance = frame.arg;
            return;
        case FrameKind::kCameraOn:
            state_.camera_on = true;
            return;
        case FrameKind::kManualScan:
            state_.manual_scan = true;
            return;
        case FrameKind::kMenuOpen:
            state_.menu_open = true;
            state_.last_menu_action = FrameKind::kMenuOpen;
            return;
        case FrameKind::kMenuClose:
            state_.menu_open = false;
            state_.last_menu_action = FrameKind::kMenuClose;
            return;
        case FrameKind::kMenuUp:
        case FrameKind::kMenuDown:
        case FrameKind::kMenuLeft:
        case FrameKind::kMenuRight:
        case FrameKind::kMenuSelect:
        case FrameKind::kMenuSelect2:
            MenuStep(frame.kind);
            return;
        case FrameKind::kUnknown:
            ++state_.unknown;
            return;
        case FrameKind::kMalformed:
            return;
    }
}

CameraBank::CameraBank(Protocol protocol, const CameraLimits& limits, int default_address,
                       bool create_on_demand)
    : protocol_(protocol),
      limits_(limits),
      default_address_(default_address),
      create_on_demand_(create_on_demand) {}

void CameraBank::AddCamera(int address) {
    if (cameras_.size() < kMaxCameras) {
        cameras_.try_emplace(address, protocol_, limits_);
    }
}

SimulatedCamera* CameraBank::Apply(const DecodedFrame& frame, SimTime now) {
    if (frame.kind == FrameKind::kMalformed) {
        ++dropped_;
        return nullptr;
    }
    const int address = frame.address >= 0 ? frame.address : default_address_;
    auto it = cameras_.find(address);
    if (it == cameras_.end()) {
        if (!create_on_demand_ || cameras_.size() >= kMaxCameras) {
            ++dropped_;
            return nullptr;
        }
        it = cameras_.try_emplace(address, protocol_, limits_).first;
    }
    it->second.Apply(frame, now);
    return &it->second;
}

void CameraBank::AdvanceTo(SimTime now) {
    for (auto& [address, camera] : cameras_) {
        camera.AdvanceTo(now);
    }
}

const SimulatedCamera* CameraBank::Find(int address) const {
    auto it = cameras_.find(address);
    return it == cameras_.end() ? nullptr : &it->second;
}

}  // namespace k47::sim
