// Pelco-D frames straight from the encoder, without a port: every call's bytes with their
// checksums, the speed and address edges, and the answer lengths the driver and the simulator
// share. Each frame is also run through the simulator's decoder, so encoder and oracle agree on
// what the bytes mean.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "drivers/PelcoDFrame.h"
#include "frame/K47PTZ.h"
#include "sim/FrameDecoder.h"

namespace {

using k47::sim::FrameKind;

// The frame's bytes (lower-case hex, as HexBytes prints them), and what the decoder makes of them.
void Check(const char* name, const k47pelcod::Frame& frame, const char* hex, FrameKind kind) {
    const std::vector<uint8_t> bytes(frame.begin(), frame.end());
    EXPECT_EQ(k47::sim::HexBytes(bytes), hex) << name;
    std::vector<k47::sim::DecodedFrame> frames =
        k47::sim::DecodeAll(k47::sim::Protocol::kPelcoD, bytes);
    ASSERT_EQ(frames.size(), 1u) << name;
    EXPECT_EQ(frames[0].kind, kind) << name << ": " << k47::sim::Describe(frames[0]);
    EXPECT_EQ(frames[0].address, bytes[1]) << name;
}

struct MoveCase {
    const char* name;
    intptr_t address;
    int16_t pan, tilt, zoom, focus, iris;
    const char* hex;
};

void CheckMoves(const std::vector<MoveCase>& cases) {
    for (const MoveCase& c : cases) {
        const bool stop = c.pan == 0 && c.tilt == 0 && c.zoom == 0 && c.focus == 0 && c.iris == 0;
        Check(c.name, k47pelcod::Move(c.address, c.pan, c.tilt, c.zoom, c.focus, c.iris), c.hex,
              stop ? FrameKind::kStop : FrameKind::kMove);
    }
}

TEST(PelcoDFrame, Moves) {
    CheckMoves({
        {"pan +100 at 1", 1, 100, 0, 0, 0, 0, "ff 01 00 02 3f 00 42"},
        {"pan -50 at 1: speed 31 left", 1, -50, 0, 0, 0, 0, "ff 01 00 04 1f 00 24"},
        {"tilt -50 at 1", 1, 0, -50, 0, 0, 0, "ff 01 00 10 00 1f 30"},
        {"tilt +100 at 4", 4, 0, 100, 0, 0, 0, "ff 04 00 08 00 3f 4b"},
        {"zoom +7 at 2: no zoom speed", 2, 0, 0, 7, 0, 0, "ff 02 00 20 00 00 22"},
        {"zoom -1 at 2", 2, 0, 0, -1, 0, 0, "ff 02 00 40 00 00 42"},
        {"focus +1, iris -1 at 1", 1, 0, 0, 0, 1, -1, "ff 01 04 80 00 00 85"},
        {"focus -1, iris +1 at 1", 1, 0, 0, 0, -1, 1, "ff 01 03 00 00 00 04"},
        {"every axis positive", 1, 100, 100, 100, 100, 100, "ff 01 02 aa 3f 3f 2b"},
        {"every axis negative", 1, -100, -100, -100, -100, -100, "ff 01 05 54 3f 3f d8"},
        {"stop", 1, 0, 0, 0, 0, 0, "ff 01 00 00 00 00 01"},
        {"checksum wraps at address 0xFF", 0xFF, 100, 0, 0, 0, 0, "ff ff 00 02 3f 00 40"},
    });
}

// Speeds: 100 is 63, the remainder is dropped (1 still sends its direction with speed 0), and a
// magnitude beyond 100 is not clamped: its step keeps the low 6 bits, as the driver always sent.
TEST(PelcoDFrame, SpeedAndAddressEdges) {
    CheckMoves({
        {"pan +1: speed 0 with its direction", 1, 1, 0, 0, 0, 0, "ff 01 00 02 00 00 03"},
        {"pan +2: speed 1", 1, 2, 0, 0, 0, 0, "ff 01 00 02 01 00 04"},
        {"tilt -99: speed 62", 1, 0, -99, 0, 0, 0, "ff 01 00 10 00 3e 4f"},
        {"pan +102: 64 masked to 0", 1, 102, 0, 0, 0, 0, "ff 01 00 02 00 00 03"},
        {"pan +200: 126 masked to 62", 1, 200, 0, 0, 0, 0, "ff 01 00 02 3e 00 41"},
        {"16-bit extremes keep the 6-bit mask", 1, -32768, 32767, 0, 0, 0, "ff 01 00 0c 23 23 53"},
        {"address 0", 0, 0, 0, 0, 0, 0, "ff 00 00 00 00 00 00"},
        {"address 256 keeps its low 8 bits", 256, 0, 0, 0, 0, 0, "ff 00 00 00 00 00 00"},
        {"address 0x1FF keeps its low 8 bits", 0x1FF, 0, 0, 0, 0, 0, "ff ff 00 00 00 00 ff"},
        {"address -1 is 0xFF", -1, 0, 0, 0, 0, 0, "ff ff 00 00 00 00 ff"},
    });

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
    struct Case {
        const char* name;
        intptr_t address;
        int code;
        intptr_t arg;
        const char* hex;
        FrameKind kind;
    };
    const Case cases[] = {
        {"go to preset 12 at 3", 3, PTZCMD_GOTOPRESET, 12, "ff 03 00 07 00 0c 16",
         FrameKind::kPresetGo},
        {"set preset 3", 1, PTZCMD_SETPRESET, 3, "ff 01 00 03 00 03 07", FrameKind::kPresetSet},
        {"clear preset 4", 1, PTZCMD_CLEARPRESET, 4, "ff 01 00 05 00 04 0a",
         FrameKind::kPresetClear},
        {"auto focus 2", 1, PTZCMD_AUTOFOCUS, 2, "ff 01 00 2b 00 02 2e", FrameKind::kAutoFocus},
        {"auto iris 1", 1, PTZCMD_AUTOIRIS, 1, "ff 01 00 2d 00 01 2f", FrameKind::kAutoIris},
        {"AGC 0", 1, PTZCMD_AUTOAGC, 0, "ff 01 00 2f 00 00 30", FrameKind::kAutoAgc},
        {"backlight 1", 1, PTZCMD_BACKLIGHT, 1, "ff 01 00 31 00 01 33", FrameKind::kBacklight},
        {"white balance 3", 1, PTZCMD_WHITEBAL, 3, "ff 01 00 33 00 03 37",
         FrameKind::kWhiteBalance},
        {"a code outside the enumeration goes out as it is", 1, 0x45, 0, "ff 01 00 45 00 00 46",
         FrameKind::kUnknown},
        {"the argument keeps its low 8 bits", 1, 0x07, 0x1234, "ff 01 00 07 00 34 3c",
         FrameKind::kPresetGo},
        {"a negative argument", 1, 0x07, -1, "ff 01 00 07 00 ff 07", FrameKind::kPresetGo},
        {"INT_PTR max argument", 2, 0x07, std::numeric_limits<intptr_t>::max(),
         "ff 02 00 07 00 ff 08", FrameKind::kPresetGo},
        {"menu open on go to 95", 9, 0x07, 95, "ff 09 00 07 00 5f 6f", FrameKind::kPresetGo},
    };
    for (const Case& c : cases) {
        Check(c.name, k47pelcod::Command(c.address, static_cast<uint8_t>(c.code), c.arg), c.hex,
              c.kind);
    }
    Check("camera on", k47pelcod::CameraOn(5), "ff 05 88 00 00 00 8d", FrameKind::kCameraOn);
    Check("manual scan", k47pelcod::ManualScan(6), "ff 06 10 00 00 00 16", FrameKind::kManualScan);
    Check("camera on at 0xF8: checksum wraps", k47pelcod::CameraOn(0xF8), "ff f8 88 00 00 00 80",
          FrameKind::kCameraOn);
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
