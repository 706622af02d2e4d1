// A simulated camera driven by decoded frames, and a bank of them keyed by address.
//
// Motion: a move frame sets each axis running at speed / full_scale of the protocol's full
// speed (CameraLimits; an axis sent without speed runs at full speed) until the next move or
// stop frame. Positions are integrated over the time between calls: pan wraps into [0, 360),
// tilt stops at its limits (-90 .. +90 by default), zoom, focus and iris stay within 0 .. 1.
// Speed unit 0 with a direction does not move (the lowest step of the protocols is 1).
// Presets store pan, tilt, zoom and focus; recalling one moves there at once and ends any
// motion; recalling an unset preset only stops. Pelco-D has no menu frames: the trigger preset
// (95; Set Preset for the Pelco and Messoa models, Go To Preset for the generic one) opens the
// menu, or closes it when open, and while it is open move frames navigate it (one step per frame
// with a direction) instead of moving the camera. Panasonic has menu frames of its own.
//
// Time is the caller's: every call passes `now` (any epoch, nanoseconds, non-decreasing; a time
// before the last one counts as no time passing). Nothing here reads a clock, so tests are
// exact.
//
// Threading: thread-compatible (one thread at a time per object). Sizes are bounded: presets
// by their one-byte numbers, the bank by kMaxCameras.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>

#include "sim/DecodedFrame.h"

namespace k47::sim {

using SimTime = std::chrono::nanoseconds;

struct CameraLimits {
    double pan_deg_per_s = 100;  // at full protocol speed
    double tilt_deg_per_s = 60;
    double tilt_min_deg = -90;
    double tilt_max_deg = 90;
    double zoom_full_travel_s = 5;   // wide to tele at full speed
    double focus_full_travel_s = 5;  // near to far
    double iris_full_travel_s = 3;   // closed to open
    // Pelco-D menu trigger
    int menu_preset = 95;
    bool menu_on_set_preset = false;  // true for the Pelco and Messoa models
};

struct PresetPosition {
    double pan_deg = 0;
    double tilt_deg = 0;
    double zoom = 0;
    double focus = 0;
    bool operator==(const PresetPosition&) const = default;
};

struct CameraState {
    double pan_deg = 0;  // [0, 360)
    double tilt_deg = 0;
    double zoom = 0;                                         // 0 wide .. 1 tele
    double focus = 0.5;                                      // 0 near .. 1 far
    double iris = 0.5;                                       // 0 closed .. 1 open
    Axis pan, tilt, zoom_motion, focus_motion, iris_motion;  // as last commanded
    std::map<int, PresetPosition> presets;
    int last_recall = -1;  // last preset recalled (set or not)
    bool last_recall_found = false;
    bool menu_open = false;
    FrameKind last_menu_action = FrameKind::kUnknown;
    uint32_t menu_actions = 0;  // navigation and selection steps while the menu was open
    bool camera_on = false;
    bool manual_scan = false;
    // Last argument of each picture command; -1 until one arrives.
    int auto_focus = -1;
    int auto_iris = -1;
    int agc = -1;
    int backlight = -1;
    int white_balance = -1;
    uint64_t frames = 0;   // frames applied to this camera
    uint64_t unknown = 0;  // of which kUnknown
};

class SimulatedCamera {
  public:
    explicit SimulatedCamera(Protocol protocol, const CameraLimits& limits = {});

    // Advances to `now`, then applies the frame (malformed frames are ignored).
    void Apply(const DecodedFrame& frame, SimTime now);
    // Integrates the running motion up to `now`.
    void AdvanceTo(SimTime now);
    const CameraState& state() const { return state_; }
    bool moving() const;

  private:
    void Move(const DecodedFrame& frame);
    void MenuStep(FrameKind action);
    void Recall(int preset);

    Protocol protocol_;
    CameraLimits limits_;
    CameraState state_;
    SimTime last_{0};
    bool started_ = false;
};

// Cameras by address. Frames without an address (Panasonic with one camera on the line) go to
// `default_address`. With `create_on_demand`, an address seen for the first time gets a new
// camera, up to kMaxCameras; frames for other addresses are counted and dropped.
class CameraBank {
  public:
    static constexpr size_t kMaxCameras = 256;

    CameraBank(Protocol protocol, const CameraLimits& limits = {}, int default_address = 1,
               bool create_on_demand = true);

    void AddCamera(int address);
    // Applies the frame to its camera; returns that camera, or null when the frame was dropped
    // (malformed, or no camera for its address).
    SimulatedCamera* Apply(const DecodedFrame& frame, SimTime now);
    void AdvanceTo(SimTime now);
    const SimulatedCamera* Find(int address) const;
    const std::map<int, SimulatedCamera>& cameras() const { return cameras_; }
    uint64_t dropped() const { return dropped_; }

  private:
    Protocol protocol_;
    CameraLimits limits_;
    int default_address_;
    bool create_on_demand_;
    std::map<int, SimulatedCamera> cameras_;
    uint64_t dropped_ = 0;
};

}  // namespace k47::sim
