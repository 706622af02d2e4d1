// Bosch 7-bit binary frames as bytes, without a port: what CBosch writes for each call, built from
// the call's values alone. A frame is a length byte (0x80 OR n, n counting the bytes before the
// checksum, this one included), the camera code (address - 1 as a 16-bit value: addresses 1 to
// 16384 give 0 to 16383) in two 7-bit bytes, an opcode, data bytes below 0x80 and a checksum (the
// sum of bytes 0 to n - 1, AND 0x7F). Two frames exist: the move (length 0x87, opcode 0x05, three
// data bytes) and the command (0x86, 0x07, function and value). Presets 0..255 travel with bit 7
// in the function byte.
//
// Speeds arrive as signed values where a magnitude of 100 is full speed; remainders are dropped
// and a magnitude beyond 100 keeps the low bits of its step. Nothing here reads a clock, a port
// or a lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "frame/K47PTZ.h"

namespace k47bosch {

struct Frame {
    std::array<uint8_t, 8> bytes{};
    size_t size = 0;  // the length byte's n + 1
    const uint8_t* data() const noexcept { return bytes.data(); }
};

// The move: zoom and tilt speeds, pan speed with iris and focus near, then the direction bits.
Frame Move(intptr_t address, int16_t pan, int16_t tilt, int16_t zoom, int16_t focus, int16_t iris);
// Set and go to preset (the argument's low byte), the auto modes (mode 2 for `arg` 2, mode 1
// for every other value) and the picture settings; nullopt for Clear Preset and values outside
// PTZCOMMAND: the protocol has no frame for them.
std::optional<Frame> Command(intptr_t address, PTZCOMMAND cmd, intptr_t arg);

}  // namespace k47bosch
