// Text and JSON lines of the simulator's events (Report.h).
#include "tools/ptzsim/Report.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace ptzsim {

using k47::sim::Axis;
using k47::sim::DecodedFrame;
using k47::sim::FrameKind;
using k47::sim::Protocol;

namespace {

std::string Printf(const char* format, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

std::string AxisText(const char* name, const Axis& axis, const char* plus, const char* minus) {
    if (axis.direction == 0) {
        return Printf("%s 0", name);
    }
    const char* way = axis.direction > 0 ? plus : minus;
    if (axis.full_scale <= 0) {
        return Printf("%s %s", name, way);
    }
    return Printf("%s %c%d/%d %s", name, axis.direction > 0 ? '+' : '-', axis.speed,
                  axis.full_scale, way);
}

bool IsMove(FrameKind kind) {
    return kind == FrameKind::kMove || kind == FrameKind::kStop;
}

bool IsPreset(FrameKind kind) {
    return kind == FrameKind::kPresetSet || kind == FrameKind::kPresetClear ||
           kind == FrameKind::kPresetGo;
}

bool IsPicture(FrameKind kind) {
    return kind == FrameKind::kAutoFocus || kind == FrameKind::kAutoIris ||
           kind == FrameKind::kAutoAgc || kind == FrameKind::kBacklight ||
           kind == FrameKind::kWhiteBalance;
}

// Panasonic frames are text: shown as characters, the control bytes in angle brackets.
std::string Characters(const std::vector<uint8_t>& raw) {
    std::string text;
    for (uint8_t b : raw) {
        if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else {
            text += Printf("<%02x>", b);
        }
    }
    return text;
}

JsonObject AxisJson(const Axis& axis) {
    JsonObject o;
    o.Add("direction", axis.direction)
        .Add("speed", axis.speed)
        .Add("full_scale", axis.full_scale)
        .Add("percent", axis.Percent());
    return o;
}

JsonObject StateJson(const CameraView& view) {
    const k47::sim::CameraState& s = view.state;
    JsonObject motion;
    motion.Add("pan", s.pan.Percent())
        .Add("tilt", s.tilt.Percent())
        .Add("zoom", s.zoom_motion.Percent())
        .Add("focus", s.focus_motion.Percent())
        .Add("iris", s.iris_motion.Percent());
    JsonObject menu;
    menu.Add("open", s.menu_open);
    if (s.menu_open) {
        menu.Add("row", view.cursor.row)
            .Add("column", view.cursor.column)
            .AddOrNull("selected", view.cursor.selected)
            .Add("steps", uint64_t{s.menu_actions})
            .Add("last", k47::sim::KindName(s.last_menu_action));
    }
    JsonObject presets;
    for (const auto& [number, p] : s.presets) {
        JsonObject preset;
        preset.Add("pan", p.pan_deg, 3)
            .Add("tilt", p.tilt_deg, 3)
            .Add("zoom", p.zoom, 4)
            .Add("focus", p.focus, 4);
        presets.Add(std::to_string(number), preset);
    }
    JsonObject o;
    o.Add("pan", s.pan_deg, 3)
        .Add("tilt", s.tilt_deg, 3)
        .Add("zoom", s.zoom, 4)
        .Add("focus", s.focus, 4)
        .Add("iris", s.iris, 4)
        .Add("moving", view.moving)
        .Add("motion", motion)
        .Add("menu", menu)
        .Add("presets", presets)
        .AddOrNull("recalled", s.last_recall);
    if (s.last_recall >= 0) {
        o.Add("recall_found", s.last_recall_found);
    }
    o.AddOrNull("auto_focus", s.auto_focus)
        .AddOrNull("auto_iris", s.auto_iris)
        .AddOrNull("agc", s.agc)
        .AddOrNull("backlight", s.backlight)
        .AddOrNull("white_balance", s.white_balance)
        .Add("camera_on", s.camera_on)
        .Add("manual_scan", s.manual_scan)
        .Add("frames", s.frames)
        .Add("unknown", s.unknown);
    return o;
}

const char* EventName(EventType type) {
    switch (type) {
        case EventType::kFrame:
            return "frame";
        case EventType::kStopped:
            return "stopped";
        case EventType::kAnswer:
            return "answer";
        case EventType::kLimit:
            return "limit";
        case EventType::kState:
            return "state";
        case EventType::kFinal:
            return "final";
    }
    return "?";
}

// "+50", "-100", "0".
std::string Signed(int value) {
    return value == 0 ? "0" : Printf("%+d", value);
}

std::string MotionText(const CameraView& view) {
    if (!view.moving) {
        return "still";
    }
    const k47::sim::CameraState& s = view.state;
    std::string text =
        "moving pan " + Signed(s.pan.Percent()) + " tilt " + Signed(s.tilt.Percent());
    if (s.zoom_motion.direction) {
        text += " zoom " + Signed(s.zoom_motion.Percent());
    }
    if (s.focus_motion.direction) {
        text += " focus " + Signed(s.focus_motion.Percent());
    }
    if (s.iris_motion.direction) {
        text += " iris " + Signed(s.iris_motion.Percent());
    }
    return text;
}

}  // namespace

std::string FrameText(const DecodedFrame& frame) {
    const FrameKind kind = frame.kind;
    if (kind == FrameKind::kStop) {
        return "all axes still";
    }
    if (kind == FrameKind::kMove) {
        std::string text = AxisText("pan", frame.pan, "right", "left") + ", " +
                           AxisText("tilt", frame.tilt, "up", "down");
        if (frame.zoom.direction) {
            text += ", " + AxisText("zoom", frame.zoom, "tele", "wide");
        }
        if (frame.focus.direction) {
            text += ", " + AxisText("focus", frame.focus, "far", "near");
        }
        if (frame.iris.direction) {
            text += ", " + AxisText("iris", frame.iris, "open", "close");
        }
        return text;
    }
    if (IsPreset(kind)) {
        return Printf("preset %d", frame.preset);
    }
    if (IsPicture(kind)) {
        return Printf("value %d", frame.arg);
    }
    const bool text_protocol = frame.protocol == Protocol::kPanasonic;
    const std::string bytes = text_protocol ? "\"" + Characters(frame.raw) + "\""
                                            : "[" + k47::sim::HexBytes(frame.raw) + "]";
    if (kind == FrameKind::kMalformed) {
        return std::string(k47::sim::MalformedName(frame.error)) + " [" +
               k47::sim::HexBytes(frame.raw) + "]";
    }
    if (kind == FrameKind::kUnknown) {
        return frame.command >= 0 ? Printf("command 0x%02x ", frame.command) + bytes : bytes;
    }
    return {};
}

std::string StateSummary(const CameraView& view) {
    const k47::sim::CameraState& s = view.state;
    std::string text = Printf("pan %5.1f° tilt %5.1f° zoom %.2f", s.pan_deg, s.tilt_deg, s.zoom);
    if (s.focus_motion.direction || std::fabs(s.focus - 0.5) > 1e-9) {
        text += Printf(" focus %.2f", s.focus);
    }
    if (s.iris_motion.direction || std::fabs(s.iris - 0.5) > 1e-9) {
        text += Printf(" iris %.2f", s.iris);
    }
    if (s.menu_open) {
        text += Printf(" menu row %d col %d", view.cursor.row, view.cursor.column);
    }
    return text;
}

Formatter::Formatter(Protocol protocol, bool json, std::chrono::system_clock::time_point wall_start)
    : protocol_(protocol), json_(json), wall_start_(wall_start) {}

std::string Formatter::TextTime(SimTime time) const {
    const auto wall =
        wall_start_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(time);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(wall);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(ms));
    return text;
}

JsonObject Formatter::Head(SimTime time, const char* event) const {
    const auto wall =
        wall_start_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(time);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(wall);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[40];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    char zone[8];
    std::strftime(zone, sizeof zone, "%z", &local);  // +0100
    std::string stamp = Printf("%s.%03d%.3s:%s", date, static_cast<int>(ms), zone, zone + 3);
    JsonObject o;
    o.Add("time", stamp)
        .Add("elapsed", std::chrono::duration<double>(time).count(), 6)
        .Add("event", event);
    return o;
}

std::string Formatter::Format(const Event& event) const {
    return json_ ? Json(event) : Text(event);
}

std::string Formatter::Text(const Event& event) const {
    std::string camera = "cam -  ";
    if (event.camera) {
        camera = Printf("cam %-3d", event.camera->address);
    } else if (event.frame.address >= 0) {
        camera = Printf("cam %-3d", event.frame.address);
    }
    std::string kind;
    std::string detail;
    switch (event.type) {
        case EventType::kFrame:
            kind = k47::sim::KindName(event.frame.kind);
            detail = FrameText(event.frame);
            if (!event.detail.empty()) {
                detail += detail.empty() ? event.detail : ": " + event.detail;
            }
            break;
        case EventType::kStopped:
            // The whole line is the position: no arrow, nothing to compare it with.
            return TextTime(event.time) + " " + camera + " stopped      at " +
                   StateSummary(*event.camera);
        case EventType::kAnswer:
            kind = "answer";
            detail =
                Printf("%zu bytes [", event.answer.size()) + k47::sim::HexBytes(event.answer) + "]";
            if (event.written >= 0 && static_cast<size_t>(event.written) < event.answer.size()) {
                detail += Printf(" line full: %ld sent", event.written);
            }
            return TextTime(event.time) + " " + camera + " " + Printf("%-12s ", kind.c_str()) +
                   detail;
        case EventType::kLimit:
            kind = "limit";
            detail = event.detail;
            break;
        case EventType::kState:
        case EventType::kFinal:
            kind = EventName(event.type);
            detail = MotionText(*event.camera);
            break;
    }
    std::string line = TextTime(event.time) + " " + camera + " " + Printf("%-12s ", kind.c_str());
    if (event.camera) {
        line += Printf("%-32s -> ", detail.c_str()) + StateSummary(*event.camera);
    } else {
        line += detail;
    }
    if (event.type == EventType::kFrame) {
        line += Printf("  [at %.6f s", std::chrono::duration<double>(event.time).count());
        line += event.queued >= 0 ? Printf(", %ld queued]", event.queued) : std::string("]");
    }
    return line;
}

std::string Formatter::Json(const Event& event) const {
    JsonObject o = Head(event.time, EventName(event.type));
    o.Add("protocol", k47::sim::ProtocolName(protocol_));
    if (event.camera) {
        o.Add("address", event.camera->address);
    } else if (event.frame.address >= 0) {
        o.Add("address", event.frame.address);
    } else {
        o.AddNull("address");
    }
    const DecodedFrame& frame = event.frame;
    if (event.type == EventType::kFrame || event.type == EventType::kAnswer ||
        event.type == EventType::kStopped) {
        o.Add("kind", k47::sim::KindName(frame.kind));
    }
    if (event.type == EventType::kFrame) {
        if (frame.kind == FrameKind::kMalformed) {
            o.Add("error", k47::sim::MalformedName(frame.error));
        }
        if (IsMove(frame.kind)) {
            o.Add("pan", AxisJson(frame.pan))
                .Add("tilt", AxisJson(frame.tilt))
                .Add("zoom", AxisJson(frame.zoom))
                .Add("focus", AxisJson(frame.focus))
                .Add("iris", AxisJson(frame.iris));
        }
        if (frame.preset >= 0) {
            o.Add("preset", frame.preset);
        }
        if (frame.arg >= 0) {
            o.Add("arg", frame.arg);
        }
        if (frame.command >= 0) {
            o.Add("command", frame.command);
        }
        if (frame.layout != 0) {
            o.Add("layout", frame.layout);
        }
        o.Add("raw", k47::sim::HexBytes(frame.raw));
        if (protocol_ == Protocol::kPanasonic) {
            o.Add("text", Characters(frame.raw));
        }
        if (event.queued >= 0) {
            o.Add("queued", int64_t{event.queued});
        }
    }
    if (event.type == EventType::kAnswer) {
        o.Add("raw", k47::sim::HexBytes(event.answer));
        if (event.written >= 0) {
            o.Add("written", int64_t{event.written});
        }
    }
    if (!event.detail.empty()) {
        o.Add("detail", event.detail);
    }
    if (event.camera) {
        o.Add("state", StateJson(*event.camera));
    }
    return o.Text();
}

std::string Formatter::Start(const StartInfo& info) const {
    if (json_) {
        JsonObject o = Head(SimTime::zero(), "start");
        o.Add("protocol", k47::sim::ProtocolName(protocol_)).Add("line", info.line);
        if (info.link.empty()) {
            o.AddNull("link");
        } else {
            o.Add("link", info.link);
        }
        o.Add("device", info.device)
            .Add("answer", info.answer)
            .Add("state_interval", info.state_interval_s, 3)
            .Add("paced", info.paced);
        if (info.baud != 0) {
            o.Add("baud", uint64_t{info.baud});
        } else {
            o.AddNull("baud");
        }
        o.Add("echo", info.echo).Add("stalled", info.stalled).Add("monotonic", info.monotonic_s, 6);
        return o.Text();
    }
    std::string text =
        Printf("ptzsim: simulating %s cameras on ", k47::sim::ProtocolName(protocol_));
    text += info.line;
    if (!info.link.empty()) {
        text += " (link " + info.link + ")";
    }
    text += info.answer ? ", answering" : "";
    if (info.paced) {
        text += info.baud != 0 ? Printf(", paced at %u Bd", info.baud)
                               : std::string(", paced at the port's speed");
    } else if (!info.device) {
        text += ", instant";
    }
    text += info.echo ? ", echoing" : "";
    text += info.stalled ? ", stalled (SIGUSR1 frees it)" : "";
    if (info.state_interval_s > 0) {
        text += Printf(", state every %g s", info.state_interval_s);
    }
    text += "; ctrl-c ends";
    return text;
}

std::string Formatter::Line(SimTime time, const std::string& key, const std::string& text) const {
    if (json_) {
        return Head(time, "line").Add(key, text).Text();
    }
    return TextTime(time) + "         " + Printf("%-12s ", "line") + text;
}

std::string Formatter::Flow(SimTime time, bool stalled, long queued, bool writer_held) const {
    if (json_) {
        return Head(time, "line")
            .Add("flow", stalled ? "stalled" : "flowing")
            .Add("queued", int64_t{queued})
            .Add("writer_held", writer_held)
            .Text();
    }
    std::string text = stalled ? "stalled" : "flowing";
    text += Printf(", %ld bytes queued", queued);
    if (stalled) {
        text += writer_held ? "; writes to the port block" : "; the far end is not held back";
    }
    return TextTime(time) + "         " + Printf("%-12s ", "line") + text;
}

std::string Formatter::Exit(SimTime time, const std::string& reason, const Counters& c) const {
    if (json_) {
        return Head(time, "exit")
            .Add("reason", reason)
            .Add("frames", c.frames)
            .Add("malformed", c.malformed)
            .Add("dropped", c.dropped)
            .Add("answers", c.answers)
            .Text();
    }
    return TextTime(time) + "         " + Printf("%-12s ", "exit") + reason +
           Printf(": %llu frames, %llu malformed, %llu dropped, %llu answers",
                  static_cast<unsigned long long>(c.frames),
                  static_cast<unsigned long long>(c.malformed),
                  static_cast<unsigned long long>(c.dropped),
                  static_cast<unsigned long long>(c.answers));
}

}  // namespace ptzsim
