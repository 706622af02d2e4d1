// What a simulated Pelco-D camera sends back after a frame addressed to it. The drivers read an
// answer whose length depends on command 2 of the frame they sent (k47pelcod::AnswerLength, the
// driver's own table: 18 bytes after 0x45, 7 after 0x51, 0x53, 0x55 and 0x63, 4 after anything
// else) and do not look at its content. The content chosen here:
// - 4 bytes, the general answer: FF, address, 00 (no alarm), checksum;
// - 7 bytes, the position answer: FF, address, 00, command 2 + 8 (0x59, 0x5B, 0x5D, 0x6B),
//   value high byte, value low byte, checksum. The value is the pan angle in hundredths of a
//   degree (0..35999) after 0x51, the tilt angle in hundredths of a degree as a signed 16-bit
//   number (up positive) after 0x53, the zoom position (0 wide .. 65535 tele) after 0x55 and
//   the focus position (0 near .. 65535 far) after 0x63;
// - 18 bytes after 0x45: FF, address, 15 characters of identification text "K47 SIMULATOR  ",
//   checksum.
// The checksum is the sum of every byte after the FF, modulo 256, as in the frames. Malformed
// frames get no answer.
//
// Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/DecodedFrame.h"
#include "sim/SimulatedCamera.h"

namespace k47::sim {

std::vector<uint8_t> PelcoDAnswer(const DecodedFrame& frame, const CameraState& state);

}  // namespace k47::sim
