// The simulated camera line (rules in Simulator.h).
#include "sim/Simulator.h"

#include <algorithm>
#include <cmath>

#include "sim/PelcoDAnswer.h"

namespace k47::sim {

namespace {

constexpr SimTime kFar = SimTime::max();

long Shown(double value, double scale) {
    return std::lround(value * scale);
}

bool SameMotion(const Axis& a, const Axis& b) {
    return a.direction == b.direction && a.speed == b.speed;
}

}  // namespace

bool SameShown(const CameraView& a, const CameraView& b) {
    const CameraState& x = a.state;
    const CameraState& y = b.state;
    const bool menu_same =
        x.menu_open == y.menu_open &&
        (!x.menu_open || (a.cursor == b.cursor && x.menu_actions == y.menu_actions));
    return a.address == b.address && a.moving == b.moving &&
           Shown(x.pan_deg, 10) % 3600 == Shown(y.pan_deg, 10) % 3600 &&
           Shown(x.tilt_deg, 10) == Shown(y.tilt_deg, 10) &&
           Shown(x.zoom, 100) == Shown(y.zoom, 100) && Shown(x.focus, 100) == Shown(y.focus, 100) &&
           Shown(x.iris, 100) == Shown(y.iris, 100) && SameMotion(x.pan, y.pan) &&
           SameMotion(x.tilt, y.tilt) && SameMotion(x.zoom_motion, y.zoom_motion) &&
           SameMotion(x.focus_motion, y.focus_motion) && SameMotion(x.iris_motion, y.iris_motion) &&
           menu_same && x.presets == y.presets && x.last_recall == y.last_recall &&
           x.camera_on == y.camera_on && x.manual_scan == y.manual_scan &&
           x.auto_focus == y.auto_focus && x.auto_iris == y.auto_iris && x.agc == y.agc &&
           x.backlight == y.backlight && x.white_balance == y.white_balance;
}

Simulator::Simulator(const SimulatorOptions& options)
    : options_(options), decoder_(MakeDecoder(options.protocol)) {}

Simulator::~Simulator() = default;

void Simulator::Start(SimTime now) {
    if (!started_) {
        started_ = true;
        next_state_ = now + options_.state_interval;
    }
    last_time_ = std::max(last_time_, now);
}

void Simulator::Feed(const uint8_t* data, size_t size, SimTime now, std::vector<Event>& out) {
    Start(now);
    if (size == 0) {
        return;
    }
    last_byte_ = now;
    frames_.clear();
    decoder_->Feed(data, size, frames_);
    for (const DecodedFrame& frame : frames_) {
        Apply(frame, now, out);
    }
    frames_.clear();
}

Simulator::Camera* Simulator::CameraFor(int address) {
    auto it = cameras_.find(address);
    if (it != cameras_.end()) {
        return &it->second;
    }
    if (cameras_.size() >= kMaxCameras) {
        return nullptr;
    }
    CameraLimits limits = options_.limits;
    limits.menu_on_set_preset =
        options_.all_menu_on_set || options_.menu_on_set.count(address) != 0;
    return &cameras_.try_emplace(address, options_.protocol, limits).first->second;
}

CameraView Simulator::View(int address, const Camera& camera) const {
    CameraView view;
    view.address = address;
    view.state = camera.sim.state();
    view.moving = camera.sim.moving();
    view.cursor = camera.cursor;
    return view;
}

void Simulator::Report(Event event, std::vector<Event>& out) {
    if (event.camera) {
        cameras_.at(event.camera->address).shown = event.camera;
    }
    out.push_back(std::move(event));
}

void Simulator::Apply(const DecodedFrame& frame, SimTime now, std::vector<Event>& out) {
    Event event;
    event.type = EventType::kFrame;
    event.time = now;
    event.frame = frame;
    if (frame.kind == FrameKind::kMalformed) {
        ++counters_.malformed;
        out.push_back(std::move(event));
        return;
    }
    // Frames without an address (Panasonic with one camera on the line) are camera 1's.
    const int address = frame.address >= 0 ? frame.address : 1;
    Camera* camera = CameraFor(address);
    if (camera == nullptr) {
        ++counters_.dropped;
        event.detail = "dropped: already " + std::to_string(kMaxCameras) + " cameras";
        out.push_back(std::move(event));
        return;
    }
    ++counters_.frames;
    // What time did before this frame comes first.
    camera->sim.AdvanceTo(now);
    CheckEnds(address, *camera, now, &out);

    const CameraState& state = camera->sim.state();
    const bool was_moving = camera->sim.moving();
    const bool was_open = state.menu_open;
    const uint32_t steps = state.menu_actions;
    camera->sim.Apply(frame, now);
    if (state.menu_open && !was_open) {
        camera->cursor = MenuCursor{};
    }
    if (state.menu_actions != steps) {
        MenuCursor& c = camera->cursor;
        switch (state.last_menu_action) {
            case FrameKind::kMenuUp:
                c.row = (c.row + kMenuRows - 1) % kMenuRows;
                break;
            case FrameKind::kMenuDown:
                c.row = (c.row + 1) % kMenuRows;
                break;
            case FrameKind::kMenuLeft:
                c.column = std::max(0, c.column - 1);
                break;
            case FrameKind::kMenuRight:
                c.column = std::min(kMenuColumns - 1, c.column + 1);
                break;
            case FrameKind::kMenuSelect:
            case FrameKind::kMenuSelect2:
                c.selected = c.row;
                break;
            default:
                break;
        }
    }
    // A new command starts from where the axes are: no end is "reached" by the frame itself.
    CheckEnds(address, *camera, now, nullptr);
    if (state.menu_open != was_open) {
        event.detail = state.menu_open ? "menu opened" : "menu closed";
    }

    event.camera = View(address, *camera);
    Report(std::move(event), out);
    if (was_moving && !camera->sim.moving()) {
        Event stopped;
        stopped.type = EventType::kStopped;
        stopped.time = now;
        stopped.frame = frame;
        stopped.camera = View(address, *camera);
        Report(std::move(stopped), out);
    }
    if (options_.answer && options_.protocol == Protocol::kPelcoD) {
        std::vector<uint8_t> answer = PelcoDAnswer(frame, camera->sim.state());
        if (!answer.empty()) {
            ++counters_.answers;
            Event reply;
            reply.type = EventType::kAnswer;
            reply.time = now;
            reply.frame = frame;
            reply.answer = std::move(answer);
            reply.camera = View(address, *camera);
            out.push_back(std::move(reply));
        }
    }
}

void Simulator::CheckEnds(int address, Camera& camera, SimTime now, std::vector<Event>* out) {
    const CameraState& s = camera.sim.state();
    const CameraLimits& l = camera.limits;
    struct End {
        bool reached;
        const char* text;
    };
    auto axis_end = [](int direction, double value, double low, double high, const char* up,
                       const char* down) {
        if (direction > 0 && value >= high) {
            return End{true, up};
        }
        if (direction < 0 && value <= low) {
            return End{true, down};
        }
        return End{false, ""};
    };
    const End ends[kAxes] = {
        axis_end(s.tilt.direction, s.tilt_deg, l.tilt_min_deg, l.tilt_max_deg, "tilt at top end",
                 "tilt at bottom end"),
        axis_end(s.zoom_motion.direction, s.zoom, 0, 1, "zoom at tele end", "zoom at wide end"),
        axis_end(s.focus_motion.direction, s.focus, 0, 1, "focus at far end", "focus at near end"),
        axis_end(s.iris_motion.direction, s.iris, 0, 1, "iris fully open", "iris fully closed"),
    };
    for (int axis = 0; axis < kAxes; ++axis) {
        if (ends[axis].reached && !camera.at_end[axis] && out != nullptr) {
            Event event;
            event.type = EventType::kLimit;
            event.time = now;
            event.detail = ends[axis].text;
            event.camera = View(address, camera);
            Report(std::move(event), *out);
        }
        camera.at_end[axis] = ends[axis].reached;
    }
}

bool Simulator::Running(const Camera& camera) const {
    const CameraState& s = camera.sim.state();
    const int directions[kAxes] = {s.tilt.direction, s.zoom_motion.direction,
                                   s.focus_motion.direction, s.iris_motion.direction};
    for (int axis = 0; axis < kAxes; ++axis) {
        if (directions[axis] != 0 && !camera.at_end[axis]) {
            return true;
        }
    }
    return false;
}

void Simulator::Tick(SimTime now, std::vector<Event>& out) {
    Start(now);
    if (decoder_->Pending() > 0 && now - last_byte_ >= options_.quiet) {
        frames_.clear();
        decoder_->Flush(frames_);
        for (const DecodedFrame& frame : frames_) {
            Apply(frame, now, out);
        }
        frames_.clear();
    }
    for (auto& [address, camera] : cameras_) {
        camera.sim.AdvanceTo(now);
        CheckEnds(address, camera, now, &out);
    }
    if (options_.state_interval > SimTime::zero() && now >= next_state_) {
        for (auto& [address, camera] : cameras_) {
            CameraView view = View(address, camera);
            if (!camera.shown || !SameShown(view, *camera.shown)) {
                Event event;
                event.type = EventType::kState;
                event.time = now;
                event.camera = std::move(view);
                Report(std::move(event), out);
            }
        }
        // A late tick (a stopped process, a loaded machine) does not make up the missed ones.
        while (next_state_ <= now) {
            next_state_ += options_.state_interval;
        }
    }
}

SimTime Simulator::NextWake() const {
    SimTime wake = kFar;
    if (started_ && options_.state_interval > SimTime::zero()) {
        wake = next_state_;
    }
    if (decoder_->Pending() > 0) {
        wake = std::min(wake, last_byte_ + options_.quiet);
    }
    for (const auto& [address, camera] : cameras_) {
        if (Running(camera)) {
            wake = std::min(wake, last_time_ + options_.limit_check);
            break;
        }
    }
    return wake;
}

void Simulator::Finish(SimTime now, std::vector<Event>& out) {
    Start(now);
    frames_.clear();
    decoder_->Flush(frames_);
    for (const DecodedFrame& frame : frames_) {
        Apply(frame, now, out);
    }
    frames_.clear();
    for (auto& [address, camera] : cameras_) {
        camera.sim.AdvanceTo(now);
        CheckEnds(address, camera, now, &out);
        Event event;
        event.type = EventType::kFinal;
        event.time = now;
        event.camera = View(address, camera);
        Report(std::move(event), out);
    }
}

}  // namespace k47::sim
