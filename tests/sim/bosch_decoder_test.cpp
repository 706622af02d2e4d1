// Bosch decoder: every byte example of the protocol's driver decodes to its frame (whole, byte
// by byte, random splits); addresses 1, 129, 200 and 16384; preset numbers above 127 with bit
// 7 in byte 4; checksum errors, bad lengths and cut frames are reported and decoding resumes.
#include <gtest/gtest.h>

#include "decoder_test_util.h"
#include "sim/BoschDecoder.h"

namespace {

using namespace k47::sim;
using k47test::Bosch;
using k47test::Bytes;
using k47test::DecodeEveryWay;

DecodedFrame Want(FrameKind kind, int address, int command) {
    DecodedFrame f;
    f.protocol = Protocol::kBosch;
    f.kind = kind;
    f.address = address;
    f.command = command;
    return f;
}

// Pan and tilt 0..15, zoom 0..7, focus and iris a direction only.
DecodedFrame WantMove(int address, Axis pan, Axis tilt, Axis zoom, int focus, int iris) {
    DecodedFrame f = Want(FrameKind::kMove, address, 0x05);
    f.pan = {pan.direction, pan.speed, 15};
    f.tilt = {tilt.direction, tilt.speed, 15};
    f.zoom = {zoom.direction, zoom.speed, 7};
    f.focus = {focus, 0, 0};
    f.iris = {iris, 0, 0};
    if (!pan.direction && !tilt.direction && !zoom.direction && !focus && !iris) {
        f.kind = FrameKind::kStop;
    }
    return f;
}

DecodedFrame WantCommand(FrameKind kind, int address, int preset, int arg) {
    DecodedFrame f = Want(kind, address, 0x07);
    f.preset = preset;
    f.arg = arg;
    return f;
}

struct Vector {
    const char* name;
    Bytes bytes;
    DecodedFrame want;
};

std::vector<Vector> Vectors() {
    const Axis o{};
    return {
        // The examples of the driver's description.
        {"pan +100 at 1",
         {0x87, 0x00, 0x00, 0x05, 0x00, 0x78, 0x01, 0x05},
         WantMove(1, {1, 15}, o, o, 0, 0)},
        {"stop at 1", {0x87, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0C}, WantMove(1, o, o, o, 0, 0)},
        {"address 2, pan -50, tilt +30, zoom +100, focus -10, iris +1",
         {0x87, 0x00, 0x01, 0x05, 0x74, 0x3D, 0x2A, 0x68},
         WantMove(2, {-1, 7}, {1, 4}, {1, 7}, -1, 1)},
        {"address 200, tilt -100, zoom -40, focus +20, iris -5",
         {0x87, 0x01, 0x47, 0x05, 0x2F, 0x02, 0x54, 0x59},
         WantMove(200, o, {-1, 15}, {-1, 2}, 1, -1)},
        {"go to preset 12 at 1",
         {0x86, 0x00, 0x00, 0x07, 0x05, 0x0C, 0x1E},
         WantCommand(FrameKind::kPresetGo, 1, 12, -1)},
        {"set preset 200 at 1",
         {0x86, 0x00, 0x00, 0x07, 0x14, 0x48, 0x69},
         WantCommand(FrameKind::kPresetSet, 1, 200, -1)},
        {"auto focus arg 2 at 129",
         {0x86, 0x01, 0x00, 0x07, 0x02, 0x04, 0x14},
         WantCommand(FrameKind::kAutoFocus, 129, -1, 2)},
        {"white balance arg 0 at 1",
         {0x86, 0x00, 0x00, 0x07, 0x01, 0x1E, 0x2C},
         WantCommand(FrameKind::kWhiteBalance, 1, -1, 0)},
        // Addresses: (address - 1) in two 7-bit halves.
        {"stop at 129", Bosch(129, 0x05, {0, 0, 0}), WantMove(129, o, o, o, 0, 0)},
        {"stop at 16384", Bosch(16384, 0x05, {0, 0, 0}), WantMove(16384, o, o, o, 0, 0)},
        // Preset numbers 0..255, bit 7 in byte 4.
        {"set preset 128", Bosch(3, 0x07, {0x14, 0x00}),
         WantCommand(FrameKind::kPresetSet, 3, 128, -1)},
        {"set preset 127", Bosch(3, 0x07, {0x04, 0x7F}),
         WantCommand(FrameKind::kPresetSet, 3, 127, -1)},
        {"go to preset 255", Bosch(3, 0x07, {0x15, 0x7F}),
         WantCommand(FrameKind::kPresetGo, 3, 255, -1)},
        {"go to preset 0", Bosch(3, 0x07, {0x05, 0x00}),
         WantCommand(FrameKind::kPresetGo, 3, 0, -1)},
        // The other picture commands.
        {"auto iris arg 0", Bosch(1, 0x07, {0x01, 0x03}),
         WantCommand(FrameKind::kAutoIris, 1, -1, 0)},
        {"AGC arg 2", Bosch(1, 0x07, {0x02, 0x2B}), WantCommand(FrameKind::kAutoAgc, 1, -1, 2)},
        {"backlight arg 0", Bosch(1, 0x07, {0x01, 0x14}),
         WantCommand(FrameKind::kBacklight, 1, -1, 0)},
        {"every direction bit once: right, down, wide, near, close",
         Bosch(5, 0x05, {0x13, 0x0B, 0x15}), WantMove(5, {1, 1}, {-1, 3}, {-1, 1}, -1, -1)},
        // Well-formed but not sent by these drivers.
        {"unknown opcode", Bosch(1, 0x09, {}), Want(FrameKind::kUnknown, 1, 0x09)},
        {"move opcode with a command's length", Bosch(1, 0x05, {0, 0}),
         Want(FrameKind::kUnknown, 1, 0x05)},
        {"command function 3", Bosch(1, 0x07, {0x03, 0x04}), Want(FrameKind::kUnknown, 1, 0x07)},
        {"mode 1 with an unknown function", Bosch(1, 0x07, {0x01, 0x7F}),
         Want(FrameKind::kUnknown, 1, 0x07)},
    };
}

TEST(BoschDecoder, ByteExamplesDecode) {
    for (const Vector& v : Vectors()) {
        SCOPED_TRACE(v.name);
        std::vector<DecodedFrame> frames = DecodeEveryWay(Protocol::kBosch, v.bytes);
        ASSERT_EQ(frames.size(), 1u);
        DecodedFrame want = v.want;
        want.raw = v.bytes;
        EXPECT_EQ(frames[0], want);
    }
}

TEST(BoschDecoder, LongestAcceptedFrameAndTheCap) {
    // n = kMaxLength is still a frame (an unknown one); n = kMaxLength + 1 is not.
    Bytes longest = Bosch(1, 0x30, Bytes(BoschDecoder::kMaxLength - 4, 0x11));
    ASSERT_EQ(longest.size(), BoschDecoder::kMaxLength + 1);
    std::vector<DecodedFrame> frames = DecodeEveryWay(Protocol::kBosch, longest);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, FrameKind::kUnknown);

    Bytes too_long = Bosch(1, 0x30, Bytes(BoschDecoder::kMaxLength - 3, 0x11));
    frames = DecodeEveryWay(Protocol::kBosch, too_long);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].error, Malformed::kOverlong);
    EXPECT_EQ(frames[0].raw.size(), 1u);
}

}  // namespace
