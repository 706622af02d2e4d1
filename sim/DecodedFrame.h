// What a decoder makes of the bytes on a serial camera line: one DecodedFrame per frame (or per
// run of bytes that could not be a frame), the same record for Pelco-D, Panasonic and Bosch.
//
// Directions follow the sign of the driver's arguments: pan right, tilt up, zoom tele, focus
// far and iris open are +1. Speeds stay in the protocol's own units (Axis::speed out of
// Axis::full_scale) and are also mapped back onto the drivers' -100..100 scale by Percent().
//
// Plain values, no shared state: thread-compatible.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace k47::sim {

enum class Protocol { kPelcoD, kPanasonic, kBosch };

enum class FrameKind {
    kMove,       // at least one axis moves
    kStop,       // a move frame with every axis still
    kPresetSet,  // preset: number in `preset`
    kPresetClear,
    kPresetGo,
    kAutoFocus,  // the picture commands: driver argument in `arg`
    kAutoIris,
    kAutoAgc,
    kBacklight,
    kWhiteBalance,
    kCameraOn,
    kManualScan,
    kMenuOpen,
    kMenuClose,
    kMenuUp,
    kMenuDown,
    kMenuLeft,
    kMenuRight,
    kMenuSelect,
    kMenuSelect2,
    kUnknown,    // a well-formed frame this family of drivers does not send
    kMalformed,  // bytes that are no valid frame: reason in `error`
};

enum class Malformed {
    kNone,
    kBadChecksum,  // framing right, checksum wrong
    kBadSync,      // bytes between frames (before a start byte)
    kOverlong,     // longer than the decoder's cap without an end
    kTruncated,    // a frame cut short by a new start byte or by the end of input
    kBadLength,    // a length field that does not match the frame
    kBadField,     // a recognised frame with a character or bit combination no driver sends
    kStrayEnd,     // a Panasonic end byte outside a frame (what a negative preset code sends)
};

// One axis of a move, in the protocol's units.
struct Axis {
    int direction = 0;   // -1, 0 or +1
    int speed = 0;       // 0..full_scale
    int full_scale = 0;  // units of full speed; 0 = the protocol sends only a direction

    // The smallest driver magnitude m (1..100) whose scaling m * full_scale / 100 (integer
    // division) gives `speed`, with the direction's sign; 0 when still; +-100 for an axis
    // without speed.
    int Percent() const;
    bool operator==(const Axis&) const = default;
};

struct DecodedFrame {
    Protocol protocol = Protocol::kPelcoD;
    FrameKind kind = FrameKind::kUnknown;
    Malformed error = Malformed::kNone;
    int address = -1;  // camera address; -1 when the frame carries none
    Axis pan, tilt, zoom, focus, iris;
    int preset = -1;   // preset frames
    int arg = -1;      // picture commands: the smallest driver argument that gives this frame
    int command = -1;  // Pelco-D command 2 or Bosch opcode; -1 for Panasonic and malformed
    int layout = 0;    // Panasonic move and preset frames: layout 1 or 2; 0 elsewhere
    std::vector<uint8_t> raw;  // the bytes of this frame, as received

    bool operator==(const DecodedFrame&) const = default;
};

const char* ProtocolName(Protocol protocol);
const char* KindName(FrameKind kind);
const char* MalformedName(Malformed error);
// One line of text: "pelco-d addr 1 move pan +63/63 (+100) ... [ff 01 00 02 3f 00 42]".
std::string Describe(const DecodedFrame& frame);
// "ff 01 00 02" (lower-case hex, blank-separated).
std::string HexBytes(const std::vector<uint8_t>& bytes);

}  // namespace k47::sim
