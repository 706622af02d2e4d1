// Pelco-D decoder: seven-byte frames FF, address, command 1, command 2, data 1, data 2,
// checksum (sum of bytes 1 to 5, modulo 256).
//
// Meaning, as the drivers of this system send it:
// - command 2 odd (bit 0 set) with command 1 = 0: an extended command named by command 2 (set,
//   clear and go to preset with the number in data 2; auto focus, auto iris, AGC, backlight and
//   white balance with the argument in data 2); other codes are kUnknown with `command` set (the
//   queries 0x45, 0x51, 0x53, 0x55, 0x63 among them);
// - command 1 = 0x88 (sense + camera on), rest 0: camera on; command 1 = 0x10 (scan without
//   sense: manual), rest 0: manual scan; other command-1 bits above 0x07: kUnknown;
// - otherwise a move: command 2 bits 0x02 right, 0x04 left, 0x08 up, 0x10 down, 0x20 tele, 0x40
//   wide, 0x80 focus far; command 1 bits 0x01 focus near, 0x02 iris open, 0x04 iris close; pan
//   speed data 1 and tilt speed data 2, 0..63 each (0x3F is full speed); all clear is a stop.
//   Opposite bits of one axis together, or a speed on an axis without a direction, are
//   kBadField: no driver sends them.
//
// Resynchronisation: 0xFF is also a valid address and data value, so a frame is taken as seven
// bytes from a 0xFF and checked by its checksum. On a bad checksum the frame is reported up to
// the next 0xFF inside it, and decoding restarts there; bytes before any 0xFF are reported as
// bad sync (in runs of at most kMaxGarbage).
//
// Threading and lifetime: see FrameDecoder.
#pragma once

#include <array>

#include "sim/FrameDecoder.h"

namespace k47::sim {

class PelcoDDecoder final : public FrameDecoder {
  public:
    static constexpr size_t kFrameSize = 7;
    static constexpr uint8_t kSync = 0xFF;
    static constexpr size_t kMaxGarbage = 32;

    Protocol protocol() const override { return Protocol::kPelcoD; }
    void Feed(const uint8_t* data, size_t size, std::vector<DecodedFrame>& out) override;
    void Flush(std::vector<DecodedFrame>& out) override;
    size_t Pending() const override { return have_ + garbage_.size(); }

    // The meaning of one complete frame whose checksum is right.
    static DecodedFrame Interpret(const std::array<uint8_t, kFrameSize>& frame);

  private:
    enum class State {
        kSync,  // waiting for 0xFF; other bytes collect as garbage
        kBody,  // have_ bytes of a frame collected (the first is 0xFF), waiting for the rest
    };

    void Step(uint8_t byte, std::vector<DecodedFrame>& out);
    void EmitGarbage(std::vector<DecodedFrame>& out);
    void Complete(std::vector<DecodedFrame>& out);

    State state_ = State::kSync;
    std::array<uint8_t, kFrameSize> frame_{};
    size_t have_ = 0;
    std::vector<uint8_t> garbage_;
};

}  // namespace k47::sim
