// Bosch frames straight from the encoder, without a port: every call's bytes with their 7-bit
// checksums, the 14-bit address code and what happens outside its range, preset bit 7 in the
// function byte, the speed masks, and the calls without a frame. Each frame also goes through the
// simulator's decoder, so encoder and oracle agree on its meaning.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "drivers/BoschFrame.h"
#include "sim/FrameDecoder.h"

namespace {

using k47::sim::FrameKind;
using k47bosch::Command;
using k47bosch::Move;

// The frame's bytes (lower-case hex, as HexBytes prints them), and what the decoder makes of them:
// its kind, the address it reads back and, for a preset frame (preset >= 0), the preset.
void Check(const char* name, const std::optional<k47bosch::Frame>& frame, const char* hex,
           FrameKind kind, int address, int preset = -1) {
    ASSERT_TRUE(frame.has_value()) << name;
    const std::vector<uint8_t> bytes(frame->data(), frame->data() + frame->size);
    EXPECT_EQ(k47::sim::HexBytes(bytes), hex) << name;
    std::vector<k47::sim::DecodedFrame> frames =
        k47::sim::DecodeAll(k47::sim::Protocol::kBosch, bytes);
    ASSERT_EQ(frames.size(), 1u) << name;
    EXPECT_EQ(frames[0].kind, kind) << name << ": " << k47::sim::Describe(frames[0]);
    EXPECT_EQ(frames[0].address, address) << name;
    if (preset >= 0) {
        EXPECT_EQ(frames[0].preset, preset) << name;
    }
}

// Moves (all axes 0 is a stop). Speeds drop their remainder (1 is speed 0 with its direction bit)
// and are not clamped beyond 100: the step keeps the bits of its field (pan and tilt 4, zoom 3).
// Addresses 1 to 16384 are the codes 0 to 16383 in two 7-bit halves; outside that range the code
// is (address - 1) truncated to 16 bits and then to the two halves, as the driver always sent.
TEST(BoschFrame, MovesSpeedsAndAddressCode) {
    struct Case {
        const char* name;
        intptr_t address;
        int16_t pan, tilt, zoom, focus, iris;
        const char* hex;
        int decodedAddress;
    };
    const Case cases[] = {
        {"pan +100 at 1", 1, 100, 0, 0, 0, 0, "87 00 00 05 00 78 01 05", 1},
        {"tilt +100 at 1", 1, 0, 100, 0, 0, 0, "87 00 00 05 0f 00 08 23", 1},
        {"stop at 1", 1, 0, 0, 0, 0, 0, "87 00 00 05 00 00 00 0c", 1},
        {"address 2, every axis", 2, -50, 30, 100, -10, 1, "87 00 01 05 74 3d 2a 68", 2},
        {"address 200, every axis", 200, 0, -100, -40, 20, -5, "87 01 47 05 2f 02 54 59", 200},
        {"focus near, iris open", 1, 0, 0, 0, -1, 1, "87 00 00 05 00 05 00 11", 1},
        {"full speed everywhere", 1, -100, -100, 100, 100, 100, "87 00 00 05 7f 7c 66 6d", 1},
        {"speed 1 rounds to 0", 1, 1, 1, 1, 0, 0, "87 00 00 05 00 00 29 35", 1},
        {"101 is still full speed", 1, 101, 101, 101, 0, 0, "87 00 00 05 7f 78 29 2c", 1},
        {"107 and 115 wrap to speed 0", 1, 107, 107, 115, 0, 0, "87 00 00 05 00 00 29 35", 1},
        {"16-bit extremes keep the masks", 1, -32768, 32767, -32768, 0, 0,
         "87 00 00 05 53 18 1a 11", 1},
        {"stop at 128", 128, 0, 0, 0, 0, 0, "87 00 7f 05 00 00 00 0b", 128},
        {"stop at 129", 129, 0, 0, 0, 0, 0, "87 01 00 05 00 00 00 0d", 129},
        {"stop at 200", 200, 0, 0, 0, 0, 0, "87 01 47 05 00 00 00 54", 200},
        {"stop at 16384", 16384, 0, 0, 0, 0, 0, "87 7f 7f 05 00 00 00 0a", 16384},
        {"16385 wraps to code 0", 16385, 0, 0, 0, 0, 0, "87 00 00 05 00 00 00 0c", 1},
        {"0 is code 0x3FFF", 0, 0, 0, 0, 0, 0, "87 7f 7f 05 00 00 00 0a", 16384},
        {"-1 is code 0x3FFE", -1, 0, 0, 0, 0, 0, "87 7f 7e 05 00 00 00 09", 16383},
    };
    for (const Case& c : cases) {
        const bool stop = c.pan == 0 && c.tilt == 0 && c.zoom == 0 && c.focus == 0 && c.iris == 0;
        Check(c.name, Move(c.address, c.pan, c.tilt, c.zoom, c.focus, c.iris), c.hex,
              stop ? FrameKind::kStop : FrameKind::kMove, c.decodedAddress);
    }
}

// Presets carry the argument's low byte, bit 7 in the function byte; the auto modes and picture
// settings send mode 2 for argument 2 and mode 1 for anything else.
TEST(BoschFrame, Commands) {
    struct Case {
        const char* name;
        intptr_t address;
        PTZCOMMAND cmd;
        intptr_t arg;
        const char* hex;
        FrameKind kind;
        int preset;  // -1: not a preset frame
    };
    const Case cases[] = {
        {"go to preset 1 at 16384", 16384, PTZCMD_GOTOPRESET, 1, "86 7f 7f 07 05 01 11",
         FrameKind::kPresetGo, 1},
        {"auto focus 2 at 129", 129, PTZCMD_AUTOFOCUS, 2, "86 01 00 07 02 04 14",
         FrameKind::kAutoFocus, -1},
        {"go to preset 12", 1, PTZCMD_GOTOPRESET, 12, "86 00 00 07 05 0c 1e", FrameKind::kPresetGo,
         12},
        {"go to preset 127", 1, PTZCMD_GOTOPRESET, 127, "86 00 00 07 05 7f 11",
         FrameKind::kPresetGo, 127},
        {"go to preset 128", 1, PTZCMD_GOTOPRESET, 128, "86 00 00 07 15 00 22",
         FrameKind::kPresetGo, 128},
        {"go to preset 255", 1, PTZCMD_GOTOPRESET, 255, "86 00 00 07 15 7f 21",
         FrameKind::kPresetGo, 255},
        {"go to preset 300 keeps the low 8 bits", 1, PTZCMD_GOTOPRESET, 300, "86 00 00 07 05 2c 3e",
         FrameKind::kPresetGo, 44},
        {"go to preset -1 is 255", 1, PTZCMD_GOTOPRESET, -1, "86 00 00 07 15 7f 21",
         FrameKind::kPresetGo, 255},
        {"set preset 0", 1, PTZCMD_SETPRESET, 0, "86 00 00 07 04 00 11", FrameKind::kPresetSet, 0},
        {"set preset 200", 1, PTZCMD_SETPRESET, 200, "86 00 00 07 14 48 69", FrameKind::kPresetSet,
         200},
        {"auto focus 1", 1, PTZCMD_AUTOFOCUS, 1, "86 00 00 07 01 04 12", FrameKind::kAutoFocus, -1},
        {"auto focus -1", 1, PTZCMD_AUTOFOCUS, -1, "86 00 00 07 01 04 12", FrameKind::kAutoFocus,
         -1},
        {"auto iris 0", 1, PTZCMD_AUTOIRIS, 0, "86 00 00 07 01 03 11", FrameKind::kAutoIris, -1},
        {"auto iris 2", 1, PTZCMD_AUTOIRIS, 2, "86 00 00 07 02 03 12", FrameKind::kAutoIris, -1},
        {"AGC 0", 1, PTZCMD_AUTOAGC, 0, "86 00 00 07 01 2b 39", FrameKind::kAutoAgc, -1},
        {"AGC 2", 1, PTZCMD_AUTOAGC, 2, "86 00 00 07 02 2b 3a", FrameKind::kAutoAgc, -1},
        {"backlight 5", 1, PTZCMD_BACKLIGHT, 5, "86 00 00 07 01 14 22", FrameKind::kBacklight, -1},
        {"backlight 2", 1, PTZCMD_BACKLIGHT, 2, "86 00 00 07 02 14 23", FrameKind::kBacklight, -1},
        {"white balance 0", 1, PTZCMD_WHITEBAL, 0, "86 00 00 07 01 1e 2c", FrameKind::kWhiteBalance,
         -1},
        {"white balance 2", 1, PTZCMD_WHITEBAL, 2, "86 00 00 07 02 1e 2d", FrameKind::kWhiteBalance,
         -1},
    };
    for (const Case& c : cases) {
        Check(c.name, Command(c.address, c.cmd, c.arg), c.hex, c.kind, static_cast<int>(c.address),
              c.preset);
    }
}

TEST(BoschFrame, NoFrameForClearPresetAndUnknownCommands) {
    for (int cmd : {int{PTZCMD_CLEARPRESET}, 0, 1, 2, 99, -1, std::numeric_limits<int>::max()})
        EXPECT_FALSE(Command(1, static_cast<PTZCOMMAND>(cmd), 1).has_value()) << cmd;
}

}  // namespace
