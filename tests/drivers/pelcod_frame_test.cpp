// Pelco-D frames straight from the encoder, without a port: every call's bytes with their
// checksums, the speed and address edges, and the answer lengths the driver and the simulator
// share. Each frame is also run through the simulator's decoder, so encoder and oracle agree on
// what the bytes mean.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "drivers/PelcoDFrame.h"
#include "frame/K47PTZ.h"
#include "sim/FrameDecoder.h"

namespace {

using k47::sim::FrameKind;
using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const k47pelcod::Frame& frame) {
    return Bytes(frame.begin(), frame.end());
}

struct Case {
    const char* name;
    std::function<k47pelcod::Frame()> encode;
    Bytes expected;
    FrameKind kind;
};

void Check(const Case& c) {
    const Bytes bytes = ToBytes(c.encode());
    EXPECT_EQ(k47::sim::HexBytes(bytes), k47::sim::HexBytes(c.expected)) << c.name;
    std::vector<k47::sim::DecodedFrame> frames =
        k47::sim::DecodeAll(k47::sim::Protocol::kPelcoD, bytes);
    ASSERT_EQ(frames.size(), 1u) << c.name;
    EXPECT_EQ(frames[0].kind, c.kind) << c.name << ": " << k47::sim::Describe(frames[0]);
    EXPECT_EQ(frames[0].address, c.expected[1]) << c.name;
}

uint8_t Code(PTZCOMMAND cmd) {
    return static_cast<uint8_t>(cmd);
}

TEST(PelcoDFrame, Moves) {
    using k47pelcod::Move;
    const Case cases[] = {
        {"pan +100 at 1",
         [] { return Move(1, 100, 0, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x02, 0x3F, 0x00, 0x42},
         FrameKind::kMove},
        {"pan -50 at 1: speed 31 left",
         [] { return Move(1, -50, 0, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x04, 0x1F, 0x00, 0x24},
         FrameKind::kMove},
        {"tilt -50 at 1",
         [] { return Move(1, 0, -50, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x10, 0x00, 0x1F, 0x30},
         FrameKind::kMove},
        {"tilt +100 at 4",
         [] { return Move(4, 0, 100, 0, 0, 0); },
         {0xFF, 0x04, 0x00, 0x08, 0x00, 0x3F, 0x4B},
         FrameKind::kMove},
        {"zoom +7 at 2: no zoom speed",
         [] { return Move(2, 0, 0, 7, 0, 0); },
         {0xFF, 0x02, 0x00, 0x20, 0x00, 0x00, 0x22},
         FrameKind::kMove},
        {"zoom -1 at 2",
         [] { return Move(2, 0, 0, -1, 0, 0); },
         {0xFF, 0x02, 0x00, 0x40, 0x00, 0x00, 0x42},
         FrameKind::kMove},
        {"focus +1, iris -1 at 1",
         [] { return Move(1, 0, 0, 0, 1, -1); },
         {0xFF, 0x01, 0x04, 0x80, 0x00, 0x00, 0x85},
         FrameKind::kMove},
        {"focus -1, iris +1 at 1",
         [] { return Move(1, 0, 0, 0, -1, 1); },
         {0xFF, 0x01, 0x03, 0x00, 0x00, 0x00, 0x04},
         FrameKind::kMove},
        {"every axis positive",
         [] { return Move(1, 100, 100, 100, 100, 100); },
         {0xFF, 0x01, 0x02, 0xAA, 0x3F, 0x3F, 0x2B},
         FrameKind::kMove},
        {"every axis negative",
         [] { return Move(1, -100, -100, -100, -100, -100); },
         {0xFF, 0x01, 0x05, 0x54, 0x3F, 0x3F, 0xD8},
         FrameKind::kMove},
        {"stop",
         [] { return Move(1, 0, 0, 0, 0, 0); },
         {0xFF, 0x01, 0, 0, 0, 0, 0x01},
         FrameKind::kStop},
        {"checksum wraps at address 0xFF",
         [] { return Move(0xFF, 100, 0, 0, 0, 0); },
         {0xFF, 0xFF, 0x00, 0x02, 0x3F, 0x00, 0x40},
         FrameKind::kMove},
    };
    for (const Case& c : cases)
        Check(c);
}

// Speeds: 100 is 63, the remainder is dropped (1 still sends its direction with speed 0), and a
// magnitude beyond 100 is not clamped: its step keeps the low 6 bits, as the driver always sent.
TEST(PelcoDFrame, SpeedAndAddressEdges) {
    using k47pelcod::Move;
    const Case cases[] = {
        {"pan +1: speed 0 with its direction",
         [] { return Move(1, 1, 0, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x02, 0x00, 0x00, 0x03},
         FrameKind::kMove},
        {"pan +2: speed 1",
         [] { return Move(1, 2, 0, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x02, 0x01, 0x00, 0x04},
         FrameKind::kMove},
        {"tilt -99: speed 62",
         [] { return Move(1, 0, -99, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x10, 0x00, 0x3E, 0x4F},
         FrameKind::kMove},
        {"pan +102: 64 masked to 0",
         [] { return Move(1, 102, 0, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x02, 0x00, 0x00, 0x03},
         FrameKind::kMove},
        {"pan +200: 126 masked to 62",
         [] { return Move(1, 200, 0, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x02, 0x3E, 0x00, 0x41},
         FrameKind::kMove},
        {"16-bit extremes keep the 6-bit mask",
         [] { return Move(1, -32768, 32767, 0, 0, 0); },
         {0xFF, 0x01, 0x00, 0x0C, 0x23, 0x23, 0x53},
         FrameKind::kMove},
        {"address 0",
         [] { return Move(0, 0, 0, 0, 0, 0); },
         {0xFF, 0x00, 0, 0, 0, 0, 0x00},
         FrameKind::kStop},
        {"address 256 keeps its low 8 bits",
         [] { return Move(256, 0, 0, 0, 0, 0); },
         {0xFF, 0x00, 0, 0, 0, 0, 0x00},
         FrameKind::kStop},
        {"address 0x1FF keeps its low 8 bits",
         [] { return Move(0x1FF, 0, 0, 0, 0, 0); },
         {0xFF, 0xFF, 0, 0, 0, 0, 0xFF},
         FrameKind::kStop},
        {"address -1 is 0xFF",
         [] { return Move(-1, 0, 0, 0, 0, 0); },
         {0xFF, 0xFF, 0, 0, 0, 0, 0xFF},
         FrameKind::kStop},
    };
    for (const Case& c : cases)
        Check(c);

    struct SpeedCase {
        int16_t value;
        uint8_t speed;
    };
    const SpeedCase speeds[] = {{0, 0},    {1, 0},    {-1, 0},     {2, 1},      {50, 31},
                                {-50, 31}, {99, 62},  {100, 63},   {-100, 63},  {101, 63},
                                {102, 0},  {200, 62}, {32767, 35}, {-32768, 35}};
    for (const SpeedCase& s : speeds)
        EXPECT_EQ(k47pelcod::Speed(s.value), s.speed) << s.value;
}

// Every PTZCOMMAND, a code outside the enumeration, the argument's low byte, and the refresh
// frames.
TEST(PelcoDFrame, CommandsAndRefresh) {
    using k47pelcod::Command;
    const Case cases[] = {
        {"go to preset 12 at 3",
         [] { return Command(3, Code(PTZCMD_GOTOPRESET), 12); },
         {0xFF, 0x03, 0x00, 0x07, 0x00, 0x0C, 0x16},
         FrameKind::kPresetGo},
        {"set preset 3",
         [] { return Command(1, Code(PTZCMD_SETPRESET), 3); },
         {0xFF, 0x01, 0x00, 0x03, 0x00, 0x03, 0x07},
         FrameKind::kPresetSet},
        {"clear preset 4",
         [] { return Command(1, Code(PTZCMD_CLEARPRESET), 4); },
         {0xFF, 0x01, 0x00, 0x05, 0x00, 0x04, 0x0A},
         FrameKind::kPresetClear},
        {"auto focus 2",
         [] { return Command(1, Code(PTZCMD_AUTOFOCUS), 2); },
         {0xFF, 0x01, 0x00, 0x2B, 0x00, 0x02, 0x2E},
         FrameKind::kAutoFocus},
        {"auto iris 1",
         [] { return Command(1, Code(PTZCMD_AUTOIRIS), 1); },
         {0xFF, 0x01, 0x00, 0x2D, 0x00, 0x01, 0x2F},
         FrameKind::kAutoIris},
        {"AGC 0",
         [] { return Command(1, Code(PTZCMD_AUTOAGC), 0); },
         {0xFF, 0x01, 0x00, 0x2F, 0x00, 0x00, 0x30},
         FrameKind::kAutoAgc},
        {"backlight 1",
         [] { return Command(1, Code(PTZCMD_BACKLIGHT), 1); },
         {0xFF, 0x01, 0x00, 0x31, 0x00, 0x01, 0x33},
         FrameKind::kBacklight},
        {"white balance 3",
         [] { return Command(1, Code(PTZCMD_WHITEBAL), 3); },
         {0xFF, 0x01, 0x00, 0x33, 0x00, 0x03, 0x37},
         FrameKind::kWhiteBalance},
        {"a code outside the enumeration goes out as it is",
         [] { return Command(1, 0x45, 0); },
         {0xFF, 0x01, 0x00, 0x45, 0x00, 0x00, 0x46},
         FrameKind::kUnknown},
        {"the argument keeps its low 8 bits",
         [] { return Command(1, 0x07, 0x1234); },
         {0xFF, 0x01, 0x00, 0x07, 0x00, 0x34, 0x3C},
         FrameKind::kPresetGo},
        {"a negative argument",
         [] { return Command(1, 0x07, -1); },
         {0xFF, 0x01, 0x00, 0x07, 0x00, 0xFF, 0x07},
         FrameKind::kPresetGo},
        {"INT_PTR max argument",
         [] { return Command(2, 0x07, std::numeric_limits<intptr_t>::max()); },
         {0xFF, 0x02, 0x00, 0x07, 0x00, 0xFF, 0x08},
         FrameKind::kPresetGo},
        {"menu open on go to 95",
         [] { return Command(9, 0x07, 95); },
         {0xFF, 0x09, 0x00, 0x07, 0x00, 0x5F, 0x6F},
         FrameKind::kPresetGo},
        {"camera on",
         [] { return k47pelcod::CameraOn(5); },
         {0xFF, 0x05, 0x88, 0x00, 0x00, 0x00, 0x8D},
         FrameKind::kCameraOn},
        {"manual scan",
         [] { return k47pelcod::ManualScan(6); },
         {0xFF, 0x06, 0x10, 0x00, 0x00, 0x00, 0x16},
         FrameKind::kManualScan},
        {"camera on at 0xF8: checksum wraps",
         [] { return k47pelcod::CameraOn(0xF8); },
         {0xFF, 0xF8, 0x88, 0x00, 0x00, 0x00, 0x80},
         FrameKind::kCameraOn},
    };
    for (const Case& c : cases)
        Check(c);
}

// The answer lengths, against the protocol's table written out: every command 2 value.
TEST(PelcoDFrame, AnswerLengthForEveryCommand2) {
    static_assert(k47pelcod::AnswerLength(0x45) == 18);
    for (int code = 0; code <= 0xFF; ++code) {
        size_t expected = 4;
        if (code == 0x45)
            expected = 18;
        if (code == 0x51 || code == 0x53 || code == 0x55 || code == 0x63)
            expected = 7;
        EXPECT_EQ(k47pelcod::AnswerLength(static_cast<uint8_t>(code)), expected)
            << std::hex << code;
    }
    EXPECT_EQ(k47pelcod::kMaxAnswerLength, 18u);
}

}  // namespace
