// Panasonic frames straight from the encoder, without a port: both layouts of moves and presets,
// the picture and menu groups, the address prefix and its edges, preset codes at and beyond two
// hexadecimal digits, and the calls without a frame. Each frame also goes through the simulator's
// decoder, so encoder and oracle agree on its meaning.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "drivers/PanasonicFrame.h"
#include "sim/FrameDecoder.h"

namespace {

using k47::sim::FrameKind;
using k47panasonic::Encoded;
using k47panasonic::LineSettings;
using k47panasonic::Outcome;

constexpr LineSettings kFirst{true, false};
constexpr LineSettings kSecond{false, false};
constexpr LineSettings kFirstAddressed{true, true};
constexpr LineSettings kSecondAddressed{false, true};

// 0x02, the text, 0x03.
std::string Stx(const std::string& text) {
    return std::string(1, '\x02') + text + '\x03';
}

// The frame's text and what the decoder makes of it.
void Check(const std::string& name, const Encoded& encoded, const std::string& text,
           FrameKind kind) {
    ASSERT_EQ(encoded.outcome, Outcome::kFrame) << name;
    EXPECT_EQ(encoded.bytes, Stx(text)) << name;
    std::vector<k47::sim::DecodedFrame> frames =
        k47::sim::DecodeAll(k47::sim::Protocol::kPanasonic,
                            std::vector<uint8_t>(encoded.bytes.begin(), encoded.bytes.end()));
    ASSERT_EQ(frames.size(), 1u) << name;
    if (kind == FrameKind::kPresetGo || kind == FrameKind::kPresetSet) {
        // Go To Preset 255 and Set Preset 155 share code FF (and Set -100 / Go To 0 code 00): the
        // decoder tells them apart by code range only.
        EXPECT_TRUE(frames[0].kind == FrameKind::kPresetGo ||
                    frames[0].kind == FrameKind::kPresetSet)
            << name;
    } else {
        EXPECT_EQ(frames[0].kind, kind) << name << ": " << k47::sim::Describe(frames[0]);
    }
}

// A move on a line with these settings; all axes 0 is a stop.
struct MoveCase {
    const char* name;
    LineSettings line;
    intptr_t address;
    int16_t pan, tilt, zoom, focus, iris;
    const char* text;  // between 0x02 and 0x03
};

void CheckMoves(const std::vector<MoveCase>& cases) {
    for (const MoveCase& c : cases) {
        const bool stop = c.pan == 0 && c.tilt == 0 && c.zoom == 0 && c.focus == 0 && c.iris == 0;
        Check(c.name,
              {Outcome::kFrame,
               k47panasonic::Move(c.line, c.address, c.pan, c.tilt, c.zoom, c.focus, c.iris)},
              c.text, stop ? FrameKind::kStop : FrameKind::kMove);
    }
}

TEST(PanasonicFrame, Moves) {
    CheckMoves({
        {"first, pan +100", kFirst, 1, 100, 0, 0, 0, 0, "RON:7;GCN:9028CF0:9034008:0021004"},
        {"first, all 0", kFirst, 1, 0, 0, 0, 0, 0, "RON:7;GCN:9028100:9034008:0021004"},
        {"second, pan +100", kSecond, 1, 100, 0, 0, 0, 0,
         "RON:7;GC^:202136C:2022700:2021264:2022000:0021004"},
        {"second, all 0", kSecond, 1, 0, 0, 0, 0, 0,
         "RON:7;GC^:2021364:2022000:2021264:2022000:0021004"},
        {"second, address 5", kSecondAddressed, 5, -50, 30, 100, -10, 1,
         "AD05;RON:7;GC^:2021369:2022320:202126F:2022700:0021002"},
        {"first, address 12", kFirstAddressed, 12, 0, -100, -100, 0, 0,
         "AD12;RON:7;GCN:9027E0F:9034008:0021004"},
        {"first, zoom and focus at full speed", kFirst, 1, 0, 0, 100, 100, -1,
         "RON:7;GCN:9023100:9034007:0021003"},
        {"first, left-up, zoom out slowly", kFirst, 1, -100, 100, -50, -30, 0,
         "RON:7;GCN:90259FF:9034000:0021004"},
        {"first, right-down at 50", kFirst, 1, 50, -50, 0, 0, 0,
         "RON:7;GCN:9028D77:9034008:0021004"},
        {"first, left-down at 1", kFirst, 1, -1, -1, 0, 0, 0, "RON:7;GCN:9028F00:9034008:0021004"},
        {"second, zoom out, focus far", kSecond, 1, 0, 0, -100, 100, 0,
         "RON:7;GC^:2021364:2022000:202126B:2022770:0021004"},
        {"second, right-up, zoom in, focus near", kSecond, 1, 100, 100, 100, -100, -5,
         "RON:7;GC^:202136B:2022770:202126F:2022770:0021003"},
        {"second, tilt up", kSecond, 1, 0, 100, 0, 0, 0,
         "RON:7;GC^:202136A:2022070:2021264:2022000:0021004"},
        // Speeds drop their remainder and, beyond 100, keep the bits of their digit: no clamping.
        {"first, 1 is speed 0 with its direction", kFirst, 1, 1, 1, 1, 1, 0,
         "RON:7;GCN:9020B00:9034004:0021004"},
        {"first, 107 wraps the hexadecimal digit to 0", kFirst, 1, 107, 0, 0, 0, 0,
         "RON:7;GCN:9028C00:9034008:0021004"},
        {"second, 115 wraps the decimal digit to 0", kSecond, 1, 115, -115, 115, 115, 0,
         "RON:7;GC^:202136D:2022000:2021269:2022000:0021004"},
        {"second, 16-bit extremes", kSecond, 1, -32768, 32767, -32768, 32767, -32768,
         "RON:7;GC^:2021369:2022550:202126B:2022550:0021003"},
    });
}

// The prefix carries the first two characters of the address as printed with at least two digits.
TEST(PanasonicFrame, AddressPrefix) {
    struct Prefix {
        intptr_t address;
        const char* prefix;
    };
    const Prefix cases[] = {{0, "AD00;"},   {7, "AD07;"},   {42, "AD42;"},  {99, "AD99;"},
                            {100, "AD10;"}, {123, "AD12;"}, {999, "AD99;"}, {1234, "AD12;"},
                            {-1, "AD-1;"},  {-12, "AD-1;"}};
    for (const Prefix& c : cases) {
        EXPECT_EQ(k47panasonic::Menu(kSecondAddressed, c.address, PTZMENUCMD_OPEN).bytes,
                  Stx(std::string(c.prefix) + "RON:7;GC7:0021940"))
            << c.address;
        EXPECT_EQ(k47panasonic::Menu(kSecond, c.address, PTZMENUCMD_OPEN).bytes,
                  Stx("RON:7;GC7:0021940"))
            << c.address << ": one camera, no prefix";
    }
    EXPECT_EQ(
        k47panasonic::Move(kFirstAddressed, std::numeric_limits<intptr_t>::max(), 0, 0, 0, 0, 0),
        Stx("AD92;RON:7;GCN:9028100:9034008:0021004"));
}

// The length character counts the data characters of 1..5 groups: 7, F, N, V, ^.
TEST(PanasonicFrame, LengthCharacter) {
    using k47panasonic::Frame;
    EXPECT_EQ(Frame(kSecond, 1, {"0000000"}), Stx("RON:7;GC7:0000000"));
    EXPECT_EQ(Frame(kSecond, 1, {"0000000", "1111111"}), Stx("RON:7;GCF:0000000:1111111"));
    EXPECT_EQ(Frame(kSecond, 1, {"0", "1", "2"}), Stx("RON:7;GCN:0:1:2"));
    EXPECT_EQ(Frame(kFirst, 1, {"a", "b", "c", "d"}), Stx("RON:7;GCV:a:b:c:d"));
    EXPECT_EQ(Frame(kSecondAddressed, 3, {"a", "b", "c", "d", "e"}),
              Stx("AD03;RON:7;GC^:a:b:c:d:e"));
}

TEST(PanasonicFrame, PresetsPictureAndMenu) {
    struct Case {
        LineSettings line;
        int cmd;
        intptr_t arg;
        const char* text;
        FrameKind kind;
    };
    const Case commands[] = {
        {kFirst, PTZCMD_SETPRESET, 7, "RON:7;GC7:903006B", FrameKind::kPresetSet},
        {kSecond, PTZCMD_SETPRESET, 7, "RON:7;GCF:00219F0:00226B0", FrameKind::kPresetSet},
        {kSecond, PTZCMD_GOTOPRESET, 7, "RON:7;GCF:00219F0:0022070", FrameKind::kPresetGo},
        {kFirst, PTZCMD_GOTOPRESET, 0, "RON:7;GC7:9030000", FrameKind::kPresetGo},
        {kSecond, PTZCMD_SETPRESET, 155, "RON:7;GCF:00219F0:0022FF0", FrameKind::kPresetSet},
        {kFirst, PTZCMD_SETPRESET, -100, "RON:7;GC7:9030000", FrameKind::kPresetGo},
        {kFirst, PTZCMD_GOTOPRESET, 255, "RON:7;GC7:90300FF", FrameKind::kPresetSet},
        {kFirst, PTZCMD_AUTOFOCUS, 0, "RON:7;GC7:9030057", FrameKind::kAutoFocus},
        {kSecond, PTZCMD_AUTOFOCUS, 1, "RON:7;GCF:00219F0:0022560", FrameKind::kAutoFocus},
        {kSecond, PTZCMD_AUTOFOCUS, 7, "RON:7;GCF:00219F0:0022550", FrameKind::kAutoFocus},
        {kFirst, PTZCMD_AUTOAGC, 0, "RON:7;GC7:90300AE", FrameKind::kAutoAgc},
        {kSecond, PTZCMD_AUTOAGC, 1, "RON:7;GCF:00219F0:0022AE0", FrameKind::kAutoAgc},
        {kSecond, PTZCMD_AUTOAGC, 2, "RON:7;GCF:00219F0:0022AF0", FrameKind::kAutoAgc},
        {kFirst, PTZCMD_AUTOIRIS, 0, "RON:7;GC7:0021005", FrameKind::kAutoIris},
        {kSecond, PTZCMD_AUTOIRIS, 1, "RON:7;GC7:0021005", FrameKind::kAutoIris},
        {kSecond, PTZCMD_AUTOIRIS, 2, "RON:7;GC7:0021034", FrameKind::kAutoIris},
        {kFirst, PTZCMD_BACKLIGHT, 1, "RON:7;GC7:00212A2", FrameKind::kBacklight},
        {kSecond, PTZCMD_BACKLIGHT, 0, "RON:7;GC7:00212A3", FrameKind::kBacklight},
        {kSecond, PTZCMD_WHITEBAL, 1, "RON:7;GC7:0021042", FrameKind::kWhiteBalance},
        {kFirst, PTZCMD_WHITEBAL, 2, "RON:7;GC7:0021041", FrameKind::kWhiteBalance},
    };
    for (const Case& c : commands) {
        Check("command " + std::to_string(c.cmd) + " " + std::to_string(c.arg) +
                  (c.line.firstLayout ? ", first" : ", second"),
              k47panasonic::Command(c.line, 1, static_cast<PTZCOMMAND>(c.cmd), c.arg), c.text,
              c.kind);
    }
    Check("go to preset 3, addressed",
          k47panasonic::Command(kSecondAddressed, 4, PTZCMD_GOTOPRESET, 3),
          "AD04;RON:7;GCF:00219F0:0022030", FrameKind::kPresetGo);

    // The menu group is the same in both layouts.
    struct Menu {
        PTZMENUCOMMAND cmd;
        const char* text;
        FrameKind kind;
    };
    const Menu menus[] = {
        {PTZMENUCMD_CLOSE, "RON:7;GC7:0021941", FrameKind::kMenuClose},
        {PTZMENUCMD_OPEN, "RON:7;GC7:0021940", FrameKind::kMenuOpen},
        {PTZMENUCMD_UP, "RON:7;GC7:0021942", FrameKind::kMenuUp},
        {PTZMENUCMD_DOWN, "RON:7;GC7:0021944", FrameKind::kMenuDown},
        {PTZMENUCMD_LEFT, "RON:7;GC7:0021945", FrameKind::kMenuLeft},
        {PTZMENUCMD_RIGHT, "RON:7;GC7:0021943", FrameKind::kMenuRight},
        {PTZMENUCMD_SELECT, "RON:7;GC7:002194A", FrameKind::kMenuSelect},
        {PTZMENUCMD_SELECT2, "RON:7;GC7:002194B", FrameKind::kMenuSelect2},
    };
    for (const LineSettings& line : {kFirst, kSecond}) {
        for (const Menu& m : menus)
            Check("menu " + std::to_string(m.cmd), k47panasonic::Menu(line, 1, m.cmd), m.text,
                  m.kind);
    }
}

// Refused arguments and calls without a frame carry no bytes; a negative preset code is the end
// byte alone.
TEST(PanasonicFrame, OutcomesWithoutAFrame) {
    struct Refusal {
        const char* name;
        Encoded encoded;
        Outcome outcome;
    };
    constexpr intptr_t kMax = std::numeric_limits<intptr_t>::max();
    for (const LineSettings& line : {kFirst, kSecond}) {
        const Refusal cases[] = {
            {"clear preset", k47panasonic::Command(line, 1, PTZCMD_CLEARPRESET, 1),
             Outcome::kNoFrame},
            {"command 0", k47panasonic::Command(line, 1, static_cast<PTZCOMMAND>(0), 1),
             Outcome::kNoFrame},
            {"command 99", k47panasonic::Command(line, 1, static_cast<PTZCOMMAND>(99), 1),
             Outcome::kNoFrame},
            {"set preset 156", k47panasonic::Command(line, 1, PTZCMD_SETPRESET, 156),
             Outcome::kInvalid},
            {"go to preset 256", k47panasonic::Command(line, 1, PTZCMD_GOTOPRESET, 256),
             Outcome::kInvalid},
            {"set preset max", k47panasonic::Command(line, 1, PTZCMD_SETPRESET, kMax),
             Outcome::kInvalid},
            {"go to preset max", k47panasonic::Command(line, 1, PTZCMD_GOTOPRESET, kMax),
             Outcome::kInvalid},
            {"menu 8", k47panasonic::Menu(line, 1, static_cast<PTZMENUCOMMAND>(8)),
             Outcome::kInvalid},
            {"menu -1", k47panasonic::Menu(line, 1, static_cast<PTZMENUCOMMAND>(-1)),
             Outcome::kInvalid},
        };
        for (const Refusal& c : cases) {
            EXPECT_EQ(c.encoded.outcome, c.outcome) << c.name;
            EXPECT_TRUE(c.encoded.bytes.empty()) << c.name;
        }
        for (const Encoded& end : {k47panasonic::Command(line, 1, PTZCMD_GOTOPRESET, -1),
                                   k47panasonic::Command(line, 1, PTZCMD_SETPRESET, -101),
                                   k47panasonic::Command(line, 1, PTZCMD_GOTOPRESET,
                                                         std::numeric_limits<intptr_t>::min())}) {
            EXPECT_EQ(end.outcome, Outcome::kFrame);
            EXPECT_EQ(end.bytes, std::string(1, '\x03'));
        }
    }
}

}  // namespace
