// The simulated camera line: the bytes of one protocol go in, events for the report come out.
//
// Feed() decodes the bytes, applies each frame to the simulated camera of its address (made on
// first sight, up to kMaxCameras) and reports, in this order: the frame with the camera's state
// after it; "stopped" when the frame ended a motion; the Pelco-D answer to send, when answers
// are on. Tick() does what time alone does: a partial frame or garbage left on a line that has
// gone quiet is flushed and reported; an axis that runs into its end (tilt, zoom, focus, iris)
// is reported once; every state interval, each camera whose shown state changed since it was
// last shown gets a state event. Finish() flushes the decoder and gives each camera's final
// state.
//
// The menu cursor: a menu of kMenuRows rows; opening puts the cursor on row 0, column 0; up and
// down move between rows (wrapping), left and right change the row's column 0..kMenuColumns-1
// (the setting's value), select and select2 remember the row they were given on.
//
// Time is the caller's (`now`, from any fixed start, non-decreasing); nothing here reads a clock
// or does I/O, so the owner decides when to call and where the events go.
//
// Threading: one thread at a time. Sizes are bounded by the decoders' caps and kMaxCameras.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/DecodedFrame.h"
#include "sim/FrameDecoder.h"
#include "sim/SimulatedCamera.h"

namespace k47::sim {

struct MenuCursor {
    int row = 0;
    int column = 0;
    int selected = -1;  // row of the last select, -1 for none since opening
    bool operator==(const MenuCursor&) const = default;
};

// A camera as the report shows it.
struct CameraView {
    int address = 0;
    CameraState state;
    bool moving = false;
    MenuCursor cursor;
};

enum class EventType {
    kFrame,    // a decoded frame (malformed ones included); camera set unless malformed or dropped
    kStopped,  // the frame just reported ended a motion
    kAnswer,   // Pelco-D answer bytes to write to the line, for the frame just reported
    kLimit,    // an axis reached its end; `detail` names it
    kState,    // periodic state of a changed camera
    kFinal,    // each camera's state at the end
};

struct Event {
    EventType type = EventType::kFrame;
    SimTime time{0};
    DecodedFrame frame;                // kFrame, kAnswer (the frame answered)
    std::optional<CameraView> camera;  // the camera after the event
    std::vector<uint8_t> answer;       // kAnswer
    std::string detail;  // kLimit: the axis and end; kFrame: menu opened or closed, or dropped
    long written = -1;   // kAnswer: bytes that went on the line (set by the writer)
    long queued = -1;    // kFrame: bytes waiting on the line behind it (set by the reader)
};

struct SimulatorOptions {
    Protocol protocol = Protocol::kPelcoD;
    CameraLimits limits;
    // Pelco-D addresses whose menu opens with Set Preset 95 (the Pelco and Messoa models);
    // `all_menu_on_set` for every address.
    std::set<int> menu_on_set;
    bool all_menu_on_set = false;
    bool answer = false;                                  // Pelco-D answers
    SimTime state_interval = std::chrono::seconds(1);     // 0: no periodic states
    SimTime quiet = std::chrono::milliseconds(250);       // a line this still ends a frame
    SimTime limit_check = std::chrono::milliseconds(50);  // how often a motion is looked at
};

struct Counters {
    uint64_t frames = 0;     // well-formed frames (unknown ones included)
    uint64_t malformed = 0;  // malformed runs reported
    uint64_t dropped = 0;    // frames for an address beyond kMaxCameras
    uint64_t answers = 0;    // answers produced
};

class Simulator {
  public:
    static constexpr size_t kMaxCameras = 256;
    static constexpr int kMenuRows = 8;
    static constexpr int kMenuColumns = 4;

    explicit Simulator(const SimulatorOptions& options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    void Feed(const uint8_t* data, size_t size, SimTime now, std::vector<Event>& out);
    void Tick(SimTime now, std::vector<Event>& out);
    // When Tick next has something to do (a far time when nothing is pending).
    SimTime NextWake() const;
    void Finish(SimTime now, std::vector<Event>& out);

    const Counters& counters() const { return counters_; }
    size_t camera_count() const { return cameras_.size(); }

  private:
    enum Axis { kTilt, kZoom, kFocus, kIris, kAxes };

    struct Camera {
        Camera(Protocol protocol, const CameraLimits& limits)
            : sim(protocol, limits), limits(limits) {}
        SimulatedCamera sim;
        CameraLimits limits;
        MenuCursor cursor;
        bool at_end[kAxes] = {};
        std::optional<CameraView> shown;  // as last reported
    };

    void Start(SimTime now);
    void Apply(const DecodedFrame& frame, SimTime now, std::vector<Event>& out);
    Camera* CameraFor(int address);
    CameraView View(int address, const Camera& camera) const;
    void Report(Event event, std::vector<Event>& out);
    // Notes which axes sit at their end; reports newly reached ends into `out` when given.
    void CheckEnds(int address, Camera& camera, SimTime now, std::vector<Event>* out);
    bool Running(const Camera& camera) const;

    SimulatorOptions options_;
    std::unique_ptr<FrameDecoder> decoder_;
    std::map<int, Camera> cameras_;
    std::vector<DecodedFrame> frames_;  // reused between feeds
    SimTime last_byte_{0};
    SimTime next_state_{0};
    SimTime last_time_{0};
    bool started_ = false;
    Counters counters_;
};

// True when the report would show the two views alike (positions to their shown precision).
bool SameShown(const CameraView& a, const CameraView& b);

}  // namespace k47::sim
