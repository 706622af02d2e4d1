// Bosch frames straight from the encoder, without a port: every call's bytes with their 7-bit
// checksums, the 14-bit address code and what happens outside its range, preset bit 7 in the
// function byte, the speed masks, and the calls without a frame. Each frame also goes through the
// simulator's decoder, so encoder and oracle agree on its meaning.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "drivers/BoschFrame.h"
#include "sim/FrameDecoder.h"

namespace {

using k47::sim::FrameKind;
using Bytes = std::vector<uint8_t>;
using k47bosch::Command;
using k47bosch::Move;

struct Case {
    const char* name;
    std::function<std::optional<k47bosch::Frame>()> encode;
    Bytes expected;
    FrameKind kind;
    int address;  // as the decoder reads it back
    int preset;   // -1: not a preset frame
};

void Check(const Case& c) {
    std::optional<k47bosch::Frame> frame = c.encode();
    ASSERT_TRUE(frame.has_value()) << c.name;
    const Bytes bytes(frame->data(), frame->data() + frame->size);
    EXPECT_EQ(k47::sim::HexBytes(bytes), k47::sim::HexBytes(c.expected)) << c.name;
    std::vector<k47::sim::DecodedFrame> frames =
        k47::sim::DecodeAll(k47::sim::Protocol::kBosch, bytes);
    ASSERT_EQ(frames.size(), 1u) << c.name;
    EXPECT_EQ(frames[0].kind, c.kind) << c.name << ": " << k47::sim::Describe(frames[0]);
    EXPECT_EQ(frames[0].address, c.address) << c.name;
    if (c.preset >= 0) {
        EXPECT_EQ(frames[0].preset, c.preset) << c.name;
    }
}

TEST(BoschFrame, Moves) {
    const Case cases[] = {
        {"pan +100 at 1",
         [] { return Move(1, 100, 0, 0, 0, 0); },
         {0x87, 0x00, 0x00, 0x05, 0x00, 0x78, 0x01, 0x05},
         FrameKind::kMove,
         1,
         -1},
        {"tilt +100 at 1",
         [] { return Move(1, 0, 100, 0, 0, 0); },
         {0x87, 0x00, 0x00, 0x05, 0x0F, 0x00, 0x08, 0x23},
         FrameKind::kMove,
         1,
         -1},
        {"stop at 1",
         [] { return Move(1, 0, 0, 0, 0, 0); },
         {0x87, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0C},
         FrameKind::kStop,
         1,
         -1},
        {"address 2, every axis",
         [] { return Move(2, -50, 30, 100, -10, 1); },
         {0x87, 0x00, 0x01, 0x05, 0x74, 0x3D, 0x2A, 0x68},
         FrameKind::kMove,
         2,
         -1},
        {"address 200, every axis",
         [] { return Move(200, 0, -100, -40, 20, -5); },
         {0x87, 0x01, 0x47, 0x05, 0x2F, 0x02, 0x54, 0x59},
         FrameKind::kMove,
         200,
         -1},
        {"focus near, iris open",
         [] { return Move(1, 0, 0, 0, -1, 1); },
         {0x87, 0x00, 0x00, 0x05, 0x00, 0x05, 0x00, 0x11},
         FrameKind::kMove,
         1,
         -1},
        {"full speed everywhere",
         [] { return Move(1, -100, -100, 100, 100, 100); },
         {0x87, 0x00, 0x00, 0x05, 0x7F, 0x7C, 0x66, 0x6D},
         FrameKind::kMove,
         1,
         -1},
    };
    for (const Case& c : cases)
        Check(c);
}

// Speeds drop their remainder (1 is speed 0 with its direction bit) and are not clamped beyond
// 100: the step keeps the bits of its field (pan and tilt 4, zoom 3).
TEST(BoschFrame, SpeedEdges) {
    const Case cases[] = {
        {"speed 1 rounds to 0",
         [] { return Move(1, 1, 1, 1, 0, 0); },
         {0x87, 0x00, 0x00, 0x05, 0x00, 0x00, 0x29, 0x35},
         FrameKind::kMove,
         1,
         -1},
        {"101 is still full speed",
         [] { return Move(1, 101, 101, 101, 0, 0); },
         {0x87, 0x00, 0x00, 0x05, 0x7F, 0x78, 0x29, 0x2C},
         FrameKind::kMove,
         1,
         -1},
        {"107 and 115 wrap to speed 0",
         [] { return Move(1, 107, 107, 115, 0, 0); },
         {0x87, 0x00, 0x00, 0x05, 0x00, 0x00, 0x29, 0x35},
         FrameKind::kMove,
         1,
         -1},
        {"16-bit extremes keep the masks",
         [] { return Move(1, -32768, 32767, -32768, 0, 0); },
         {0x87, 0x00, 0x00, 0x05, 0x53, 0x18, 0x1A, 0x11},
         FrameKind::kMove,
         1,
         -1},
    };
    for (const Case& c : cases)
        Check(c);
}

// Addresses 1 to 16384 are the codes 0 to 16383 in two 7-bit halves; outside that range the code
// is (address - 1) truncated to 16 bits and then to the two halves, as the driver always sent.
TEST(BoschFrame, AddressCode) {
    const Case cases[] = {
        {"stop at 128",
         [] { return Move(128, 0, 0, 0, 0, 0); },
         {0x87, 0x00, 0x7F, 0x05, 0x00, 0x00, 0x00, 0x0B},
         FrameKind::kStop,
         128,
         -1},
        {"stop at 129",
         [] { return Move(129, 0, 0, 0, 0, 0); },
         {0x87, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0D},
         FrameKind::kStop,
         129,
         -1},
        {"stop at 200",
         [] { return Move(200, 0, 0, 0, 0, 0); },
         {0x87, 0x01, 0x47, 0x05, 0x00, 0x00, 0x00, 0x54},
         FrameKind::kStop,
         200,
         -1},
        {"stop at 16384",
         [] { return Move(16384, 0, 0, 0, 0, 0); },
         {0x87, 0x7F, 0x7F, 0x05, 0x00, 0x00, 0x00, 0x0A},
         FrameKind::kStop,
         16384,
         -1},
        {"16385 wraps to code 0",
         [] { return Move(16385, 0, 0, 0, 0, 0); },
         {0x87, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0C},
         FrameKind::kStop,
         1,
         -1},
        {"0 is code 0x3FFF",
         [] { return Move(0, 0, 0, 0, 0, 0); },
         {0x87, 0x7F, 0x7F, 0x05, 0x00, 0x00, 0x00, 0x0A},
         FrameKind::kStop,
         16384,
         -1},
        {"-1 is code 0x3FFE",
         [] { return Move(-1, 0, 0, 0, 0, 0); },
         {0x87, 0x7F, 0x7E, 0x05, 0x00, 0x00, 0x00, 0x09},
         FrameKind::kStop,
         16383,
         -1},
        {"go to preset 1 at 16384",
         [] { return Command(16384, PTZCMD_GOTOPRESET, 1); },
         {0x86, 0x7F, 0x7F, 0x07, 0x05, 0x01, 0x11},
         FrameKind::kPresetGo,
         16384,
         1},
        {"auto focus 2 at 129",
         [] { return Command(129, PTZCMD_AUTOFOCUS, 2); },
         {0x86, 0x01, 0x00, 0x07, 0x02, 0x04, 0x14},
         FrameKind::kAutoFocus,
         129,
         -1},
    };
    for (const Case& c : cases)
        Check(c);
}

// Presets carry the argument's low byte, bit 7 in the function byte; the auto modes and picture
// settings send mode 2 for argument 2 and mode 1 for anything else.
TEST(BoschFrame, Commands) {
    const Case cases[] = {
        {"go to preset 12",
         [] { return Command(1, PTZCMD_GOTOPRESET, 12); },
         {0x86, 0x00, 0x00, 0x07, 0x05, 0x0C, 0x1E},
         FrameKind::kPresetGo,
         1,
         12},
        {"go to preset 127",
         [] { return Command(1, PTZCMD_GOTOPRESET, 127); },
         {0x86, 0x00, 0x00, 0x07, 0x05, 0x7F, 0x11},
         FrameKind::kPresetGo,
         1,
         127},
        {"go to preset 128",
         [] { return Command(1, PTZCMD_GOTOPRESET, 128); },
         {0x86, 0x00, 0x00, 0x07, 0x15, 0x00, 0x22},
         FrameKind::kPresetGo,
         1,
         128},
        {"go to preset 255",
         [] { return Command(1, PTZCMD_GOTOPRESET, 255); },
         {0x86, 0x00, 0x00, 0x07, 0x15, 0x7F, 0x21},
         FrameKind::kPresetGo,
         1,
         255},
        {"go to preset 300 keeps the low 8 bits",
         [] { return Command(1, PTZCMD_GOTOPRESET, 300); },
         {0x86, 0x00, 0x00, 0x07, 0x05, 0x2C, 0x3E},
         FrameKind::kPresetGo,
         1,
         44},
        {"go to preset -1 is 255",
         [] { return Command(1, PTZCMD_GOTOPRESET, -1); },
         {0x86, 0x00, 0x00, 0x07, 0x15, 0x7F, 0x21},
         FrameKind::kPresetGo,
         1,
         255},
        {"set preset 0",
         [] { return Command(1, PTZCMD_SETPRESET, 0); },
         {0x86, 0x00, 0x00, 0x07, 0x04, 0x00, 0x11},
         FrameKind::kPresetSet,
         1,
         0},
        {"set preset 200",
         [] { return Command(1, PTZCMD_SETPRESET, 200); },
         {0x86, 0x00, 0x00, 0x07, 0x14, 0x48, 0x69},
         FrameKind::kPresetSet,
         1,
         200},
        {"auto focus 1",
         [] { return Command(1, PTZCMD_AUTOFOCUS, 1); },
         {0x86, 0x00, 0x00, 0x07, 0x01, 0x04, 0x12},
         FrameKind::kAutoFocus,
         1,
         -1},
        {"auto focus -1",
         [] { return Command(1, PTZCMD_AUTOFOCUS, -1); },
         {0x86, 0x00, 0x00, 0x07, 0x01, 0x04, 0x12},
         FrameKind::kAutoFocus,
         1,
         -1},
        {"auto iris 0",
         [] { return Command(1, PTZCMD_AUTOIRIS, 0); },
         {0x86, 0x00, 0x00, 0x07, 0x01, 0x03, 0x11},
         FrameKind::kAutoIris,
         1,
         -1},
        {"auto iris 2",
         [] { return Command(1, PTZCMD_AUTOIRIS, 2); },
         {0x86, 0x00, 0x00, 0x07, 0x02, 0x03, 0x12},
         FrameKind::kAutoIris,
         1,
         -1},
        {"AGC 0",
         [] { return Command(1, PTZCMD_AUTOAGC, 0); },
         {0x86, 0x00, 0x00, 0x07, 0x01, 0x2B, 0x39},
         FrameKind::kAutoAgc,
         1,
         -1},
        {"AGC 2",
         [] { return Command(1, PTZCMD_AUTOAGC, 2); },
         {0x86, 0x00, 0x00, 0x07, 0x02, 0x2B, 0x3A},
         FrameKind::kAutoAgc,
         1,
         -1},
        {"backlight 5",
         [] { return Command(1, PTZCMD_BACKLIGHT, 5); },
         {0x86, 0x00, 0x00, 0x07, 0x01, 0x14, 0x22},
         FrameKind::kBacklight,
         1,
         -1},
        {"backlight 2",
         [] { return Command(1, PTZCMD_BACKLIGHT, 2); },
         {0x86, 0x00, 0x00, 0x07, 0x02, 0x14, 0x23},
         FrameKind::kBacklight,
         1,
         -1},
        {"white balance 0",
         [] { return Command(1, PTZCMD_WHITEBAL, 0); },
         {0x86, 0x00, 0x00, 0x07, 0x01, 0x1E, 0x2C},
         FrameKind::kWhiteBalance,
         1,
         -1},
        {"white balance 2",
         [] { return Command(1, PTZCMD_WHITEBAL, 2); },
         {0x86, 0x00, 0x00, 0x07, 0x02, 0x1E, 0x2D},
         FrameKind::kWhiteBalance,
         1,
         -1},
    };
    for (const Case& c : cases)
        Check(c);
}

TEST(BoschFrame, NoFrameForClearPresetAndUnknownCommands) {
    for (int cmd : {int{PTZCMD_CLEARPRESET}, 0, 1, 2, 99, -1, std::numeric_limits<int>::max()})
        EXPECT_FALSE(Command(1, static_cast<PTZCOMMAND>(cmd), 1).has_value()) << cmd;
}

}  // namespace
