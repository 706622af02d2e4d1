// How the simulator's events read: one line each (no newline), either aligned text for people
//
//   12:00:01.203 cam 1   move         pan +31/63 right, tilt 0         -> pan  12.4° tilt   0.0°
//   zoom 0.00 12:00:03.410 cam 1   stopped      at pan 120.9° tilt 0.0° zoom 0.00
//
// or one JSON object per line for programs, with the fields "time" (local, ISO 8601 with
// milliseconds), "elapsed" (seconds since the start, monotonic, to the microsecond; for a frame,
// when its last byte arrived), "event", and by event: "address", "kind", the decoded values
// ("pan", "tilt", "zoom", "focus", "iris" as objects with direction, speed, full_scale and
// percent; "preset", "arg", "command", "layout", "error"), "raw" (the bytes in hex), "text"
// (Panasonic frames as characters), "queued" (frames taken off the line: bytes waiting on it behind
// the frame's last byte; absent for a partial frame that silence ended), "detail", "written"
// (answers) and "state" (the camera after the event). Text frame lines end in "[at SECONDS s, N
// queued]", the same two values.
//
// The start event tells how the line is played ("paced", "baud", "echo", "stalled", and
// "monotonic": the start on the system's monotonic clock, so that start + elapsed compares with
// another process's CLOCK_MONOTONIC); "line" events carry "settings", "note" or "flow"
// ("stalled" or "flowing", with "queued" and "writer_held").
//
// Pure formatting: the caller writes the lines. Thread-compatible.
#pragma once

#include <chrono>
#include <string>

#include "sim/Simulator.h"
#include "tools/ptzsim/Json.h"

namespace ptzsim {

// The simulator's core lives in sim/ (k47sim); the tool reports its events.
using k47::sim::CameraView;
using k47::sim::Counters;
using k47::sim::Event;
using k47::sim::EventType;
using k47::sim::SimTime;

struct StartInfo {
    std::string line;  // the path to configure as the port
    std::string link;  // empty without --link
    bool device = false;
    bool answer = false;
    double state_interval_s = 1;
    bool paced = false;  // the line model runs (a pty without --instant)
    uint32_t baud = 0;   // --baud; 0: the writer's setting (paced) or none given
    bool echo = false;
    bool stalled = false;    // started stalled
    double monotonic_s = 0;  // the start on CLOCK_MONOTONIC
};

class Formatter {
  public:
    Formatter(k47::sim::Protocol protocol, bool json,
              std::chrono::system_clock::time_point wall_start);

    std::string Format(const Event& event) const;
    std::string Start(const StartInfo& info) const;
    // Something about the line itself: `key` "settings" (as its user set them) or "note".
    std::string Line(SimTime time, const std::string& key, const std::string& text) const;
    // The line stalled or flows again; `queued`: bytes waiting on it; `writer_held`: the port
    // user's writes block while it is stalled.
    std::string Flow(SimTime time, bool stalled, long queued, bool writer_held) const;
    std::string Exit(SimTime time, const std::string& reason, const Counters& counters) const;

  private:
    std::string Text(const Event& event) const;
    std::string Json(const Event& event) const;
    std::string TextTime(SimTime time) const;
    JsonObject Head(SimTime time, const char* event) const;

    k47::sim::Protocol protocol_;
    bool json_;
    std::chrono::system_clock::time_point wall_start_;
};

// "pan +31/63 right, tilt 0" and the like: what a frame asks for, in words.
std::string FrameText(const k47::sim::DecodedFrame& frame);
// "pan  12.4° tilt   0.0° zoom 0.00" and, when they matter, focus, iris and the menu.
std::string StateSummary(const CameraView& view);

}  // namespace ptzsim
