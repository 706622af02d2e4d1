// Panasonic decoder: text frames 0x02, optional address prefix "AD" + two digits + ";" (sent
// only with more than one camera on the line; a three-digit address keeps its first two
// digits), the preamble "RON:7;", the group head "GC" + length character + ":", groups of seven
// characters separated by ":", and 0x03. The length character counts the data characters: 0x30
// + n below 10, 0x37 + n from 10 on.
//
// Meaning, as the drivers of this system send it (the layout shows in the group count):
// - three groups 902 z d p t : 903400 f : 002100 i: a move in the first layout (z, f: lens
//   digits, direction 0/4/8 plus speed 0..3; d: pan/tilt direction, 1 = stop; p, t: speeds as
//   one hex digit 0..F);
// - five groups 202136 d : 2022 p t 0 : 202126 e : 2022 z f 0 : 002100 i: a move in the second
//   layout (d: pan/tilt direction, 4 = stop; e: zoom/focus direction; speeds as digits 0..7);
// - one group 90300 hh (first layout) or two groups 00219F0 : 0022 hh 0 (second layout): a
//   one-byte code: 0x55..0x57 auto focus, 0xAE/0xAF AGC, 100 and above Set Preset (code - 100),
//   anything else Go To Preset (code). Go To Preset 85..87 and Set Preset 74..75 cannot be told
//   from those codes; the drivers offer 64 presets, so they do not occur;
// - one group 0021005/0021034 auto iris, 00212A2/00212A3 backlight, 0021042/0021041 white
//   balance, 002194c the menu (c: 1 close, 0 open, 2 up, 4 down, 5 left, 3 right, A select, B
//   select2).
// Well-formed frames with other groups are kUnknown; a recognised group with a character no
// driver sends is kBadField; a wrong length character is kBadLength. A lone 0x03 outside a frame
// is kStrayEnd (the drivers send exactly that for a negative preset code).
//
// Resynchronisation: 0x02 always starts a frame (it never occurs inside one; a frame cut by it
// is reported as truncated); bytes outside frames are bad sync in runs of at most kMaxGarbage;
// a frame longer than kMaxFrame without its 0x03 is reported as overlong and the rest skipped
// up to the next 0x02.
//
// Threading and lifetime: see FrameDecoder.
#pragma once

#include <string_view>

#include "sim/FrameDecoder.h"

namespace k47::sim {

class PanasonicDecoder final : public FrameDecoder {
  public:
    static constexpr uint8_t kStart = 0x02;
    static constexpr uint8_t kEnd = 0x03;
    // The longest frame the drivers send is 56 bytes (prefix and five groups).
    static constexpr size_t kMaxFrame = 64;
    static constexpr size_t kMaxGarbage = 32;

    Protocol protocol() const override { return Protocol::kPanasonic; }
    void Feed(const uint8_t* data, size_t size, std::vector<DecodedFrame>& out) override;
    void Flush(std::vector<DecodedFrame>& out) override;
    size_t Pending() const override { return frame_.size() + garbage_.size(); }

    // The meaning of a complete frame (start and end byte included).
    static DecodedFrame Interpret(const std::vector<uint8_t>& frame);

  private:
    enum class State {
        kIdle,  // outside a frame: waiting for 0x02, other bytes collect as garbage
        kBody,  // inside a frame: collecting up to 0x03
    };

    void Step(uint8_t byte, std::vector<DecodedFrame>& out);
    void EmitGarbage(std::vector<DecodedFrame>& out);

    State state_ = State::kIdle;
    std::vector<uint8_t> frame_;
    std::vector<uint8_t> garbage_;
};

}  // namespace k47::sim
