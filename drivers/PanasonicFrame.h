// Panasonic text frames as bytes, without a port: what CPanasonic writes for each call, built from
// the call's values and the line's two settings alone. A frame is 0x02, the address prefix
// "ADnn;" (only with `addressed`: more than one camera on the line; an address of three or more
// digits gives its first two), "RON:7;", the group head "GC" + length character + ":", groups of
// seven characters separated by ":", and 0x03. Moves and preset-type commands have two layouts
// (`firstLayout`: "ProtocolVersion" 1, three groups for a move and hexadecimal speeds; otherwise
// five groups and decimal speeds 0..7); the picture commands and the menu have one.
//
// Speeds arrive as signed values where a magnitude of 100 is full speed; remainders are dropped
// and a magnitude beyond 100 keeps the low bits of its step (as the driver always sent them).
// Nothing here reads a clock, a port or a lock.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "frame/K47PTZ.h"

namespace k47panasonic {

inline constexpr char kStart = 0x02;
inline constexpr char kEnd = 0x03;

struct LineSettings {
    bool firstLayout = false;  // "ProtocolVersion" 1
    bool addressed = false;    // the address prefix goes out (more than one camera added)
};

// What a call gives: a frame to write, nothing (the protocol has no frame: S_FALSE), or a refused
// argument (E_INVALIDARG); only kFrame carries bytes.
enum class Outcome { kFrame, kNoFrame, kInvalid };
struct Encoded {
    Outcome outcome = Outcome::kNoFrame;
    std::string bytes;
};

// Header, the groups joined by ":", end byte.
std::string Frame(const LineSettings& line, intptr_t address,
                  std::initializer_list<std::string> groups);

std::string Move(const LineSettings& line, intptr_t address, int16_t pan, int16_t tilt,
                 int16_t zoom, int16_t focus, int16_t iris);
// Presets carry a one-byte code (Set Preset n: n + 100, Go To Preset n: n) as two hexadecimal
// digits; a code above 255 is kInvalid, and a negative one (Set Preset below -100, Go To Preset
// below 0) degenerates to the lone end byte. The auto modes and picture settings have fixed
// groups chosen by `arg`. Clear Preset and unknown commands: kNoFrame.
Encoded Command(const LineSettings& line, intptr_t address, PTZCOMMAND cmd, intptr_t arg);
// Close, open, up, down, left, right, select, select2; any other value is kInvalid.
Encoded Menu(const LineSettings& line, intptr_t address, PTZMENUCOMMAND cmd);

}  // namespace k47panasonic
