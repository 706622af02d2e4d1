// Pelco-D frames as bytes, without a port: what CPelcoD writes for each call, built from the
// call's values alone. Seven bytes: FF, address, command 1, command 2, data 1, data 2, checksum
// (the sum of bytes 1 to 5, modulo 256). Speeds arrive as signed values where a magnitude of 100
// is full speed; an address keeps its low 8 bits. Nothing here reads a clock, a port or a lock,
// so tests compare these bytes with literal frames directly.
//
// AnswerLength is also the simulator's: a simulated camera answers with as many bytes as the
// driver reads, so the table lives here once. The header needs the standard library only (the
// simulator is built without the platform layer).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace k47pelcod {

using Frame = std::array<uint8_t, 7>;

// Command 1 bits.
inline constexpr uint8_t kFocusNear = 0x01;
inline constexpr uint8_t kIrisOpen = 0x02;
inline constexpr uint8_t kIrisClose = 0x04;
inline constexpr uint8_t kManualScan = 0x10;  // the scan bit without the sense bit
inline constexpr uint8_t kCameraOn = 0x88;    // sense + camera on
// Command 2 bits.
inline constexpr uint8_t kPanRight = 0x02;
inline constexpr uint8_t kPanLeft = 0x04;
inline constexpr uint8_t kTiltUp = 0x08;
inline constexpr uint8_t kTiltDown = 0x10;
inline constexpr uint8_t kZoomTele = 0x20;
inline constexpr uint8_t kZoomWide = 0x40;
inline constexpr uint8_t kFocusFar = 0x80;

// How many answer bytes a camera sends after a frame with this command 2: the identification
// (0x45) is 18, the position queries (pan, tilt, zoom, focus) 7, everything else 4.
constexpr size_t AnswerLength(uint8_t command2) {
    switch (command2) {
        case 0x45:
            return 18;
        case 0x51:
        case 0x53:
        case 0x55:
        case 0x63:
            return 7;
        default:
            return 4;
    }
}
// The longest answer, for buffers.
inline constexpr size_t kMaxAnswerLength = 18;

// Pan and tilt speed 0..63 from a magnitude where 100 is full speed; the remainder is dropped
// (1 gives 0, the direction bit still goes out) and a magnitude beyond 100 keeps the low 6 bits.
uint8_t Speed(int16_t value);

// A frame with its checksum.
Frame Encode(intptr_t address, uint8_t command1, uint8_t command2, uint8_t data1, uint8_t data2);

// The move: direction bits for every non-zero axis, pan and tilt speeds in data 1 and 2 (zoom,
// focus and iris have no speed). All five zero is the stop frame.
Frame Move(intptr_t address, int16_t pan, int16_t tilt, int16_t zoom, int16_t focus, int16_t iris);
// A discrete command: command 2 is the command code as it is (PTZCOMMAND values are Pelco-D's
// codes), data 2 the argument's low byte.
Frame Command(intptr_t address, uint8_t code, intptr_t arg);
// The refresh frames.
Frame CameraOn(intptr_t address);
Frame ManualScan(intptr_t address);

}  // namespace k47pelcod
