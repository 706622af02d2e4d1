// Bosch decoder: binary frames of 7-bit data bytes. Byte 0 is the length byte 0x80 | n (n =
// bytes before the checksum, this one included), bytes 1 and 2 the address code (address - 1,
// 7 bits each, high part first: address 1 is 00 00, 129 is 01 00, 16384 is 7F 7F), byte 3 the
// opcode, then data, then the checksum (sum of bytes 0 to n - 1) AND 0x7F.
//
// Meaning, as the drivers of this system send it:
// - opcode 0x05 with n = 7: a move. Byte 4: zoom speed 0..7 in bits 4-6, tilt speed 0..15 in
//   bits 0-3. Byte 5: pan speed 0..15 in bits 3-6, 0x04 iris open, 0x02 iris close, 0x01 focus
//   near. Byte 6: 0x40 focus far, 0x20 zoom tele, 0x10 zoom wide, 0x08 up, 0x04 down, 0x01
//   right, 0x02 left. Opposite bits together, or a speed on an axis without a direction, are
//   kBadField. All zero is a stop.
// - opcode 0x07 with n = 6: a command. Byte 4 0x04 Set Preset, 0x05 Go To Preset, with 0x10
//   carrying bit 7 of the preset number whose low 7 bits are byte 5. Byte 4 1 or 2 (the mode;
//   `arg` is 0 for 1, 2 for 2) with byte 5 naming the function: 0x04 auto focus, 0x03 auto
//   iris, 0x2B AGC, 0x14 backlight, 0x1E white balance. Other values are kUnknown.
// - any other opcode or length is kUnknown (with `command` = opcode).
//
// Resynchronisation: a byte with bit 7 set always starts a frame (data and checksum never have
// it): one arriving inside a frame reports that frame as truncated. Length bytes with n below
// 4 are kBadLength; n above kMaxLength is kOverlong (no frame of this family is that long, so
// it is line noise); either way decoding goes on with the next byte. Bytes outside frames are
// bad sync in runs of at most kMaxGarbage.
//
// Threading and lifetime: see FrameDecoder.
#pragma once

#include <array>

#include "sim/FrameDecoder.h"

namespace k47::sim {

class BoschDecoder final : public FrameDecoder {
  public:
    static constexpr size_t kMinLength = 4;   // length byte, two address bytes, opcode
    static constexpr size_t kMaxLength = 32;  // n; the frame is n + 1 bytes
    static constexpr size_t kMaxGarbage = 32;

    Protocol protocol() const override { return Protocol::kBosch; }
    void Feed(const uint8_t* data, size_t size, std::vector<DecodedFrame>& out) override;
    void Flush(std::vector<DecodedFrame>& out) override;
    size_t Pending() const override { return have_ + garbage_.size(); }

    // The meaning of a complete frame whose checksum is right.
    static DecodedFrame Interpret(const uint8_t* frame, size_t size);

  private:
    enum class State {
        kIdle,  // waiting for a length byte; 7-bit bytes collect as garbage
        kBody,  // have_ of need_ bytes collected (the length byte first)
    };

    void Step(uint8_t byte, std::vector<DecodedFrame>& out);
    void EmitGarbage(std::vector<DecodedFrame>& out);
    void Start(uint8_t length_byte, std::vector<DecodedFrame>& out);

    State state_ = State::kIdle;
    std::array<uint8_t, kMaxLength + 1> frame_{};
    size_t have_ = 0;
    size_t need_ = 0;
    std::vector<uint8_t> garbage_;
};

}  // namespace k47::sim
