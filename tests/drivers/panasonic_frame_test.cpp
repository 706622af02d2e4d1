// Panasonic frames straight from the encoder, without a port: both layouts of moves and presets,
// the picture and menu groups, the address prefix and its edges, preset codes at and beyond two
// hexadecimal digits, and the calls without a frame. Each frame also goes through the simulator's
// decoder, so encoder and oracle agree on its meaning.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
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

struct Case {
    const char* name;
    std::function<Encoded()> encode;
    std::string text;  // between 0x02 and 0x03
    FrameKind kind;
};

Encoded MoveFrame(const LineSettings& line, intptr_t address, int16_t pan, int16_t tilt,
                  int16_t zoom, int16_t focus, int16_t iris) {
    return {Outcome::kFrame, k47panasonic::Move(line, address, pan, tilt, zoom, focus, iris)};
}

void Check(const Case& c) {
    const Encoded encoded = c.encode();
    ASSERT_EQ(encoded.outcome, Outcome::kFrame) << c.name;
    EXPECT_EQ(encoded.bytes, Stx(c.text)) << c.name;
    std::vector<k47::sim::DecodedFrame> frames =
        k47::sim::DecodeAll(k47::sim::Protocol::kPanasonic,
                            std::vector<uint8_t>(encoded.bytes.begin(), encoded.bytes.end()));
    ASSERT_EQ(frames.size(), 1u) << c.name;
    if (c.kind == FrameKind::kPresetGo || c.kind == FrameKind::kPresetSet) {
        // Go To Preset 255 and Set Preset 155 share code FF (and Set -100 / Go To 0 code 00): the
        // decoder tells them apart by code range only.
        EXPECT_TRUE(frames[0].kind == FrameKind::kPresetGo ||
                    frames[0].kind == FrameKind::kPresetSet)
            << c.name;
    } else {
        EXPECT_EQ(frames[0].kind, c.kind) << c.name << ": " << k47::sim::Describe(frames[0]);
    }
}

TEST(PanasonicFrame, Moves) {
    const Case cases[] = {
        {"first layout, pan +100", [] { return MoveFrame(kFirst, 1, 100, 0, 0, 0, 0); },
         "RON:7;GCN:9028CF0:9034008:0021004", FrameKind::kMove},
        {"first layout, all 0", [] { return MoveFrame(kFirst, 1, 0, 0, 0, 0, 0); },
         "RON:7;GCN:9028100:9034008:0021004", FrameKind::kStop},
        {"second layout, pan +100", [] { return MoveFrame(kSecond, 1, 100, 0, 0, 0, 0); },
         "RON:7;GC^:202136C:2022700:2021264:2022000:0021004", FrameKind::kMove},
        {"second layout, all 0", [] { return MoveFrame(kSecond, 1, 0, 0, 0, 0, 0); },
         "RON:7;GC^:2021364:2022000:2021264:2022000:0021004", FrameKind::kStop},
        {"second layout, address 5",
         [] { return MoveFrame(kSecondAddressed, 5, -50, 30, 100, -10, 1); },
         "AD05;RON:7;GC^:2021369:2022320:202126F:2022700:0021002", FrameKind::kMove},
        {"first layout, address 12",
         [] { return MoveFrame(kFirstAddressed, 12, 0, -100, -100, 0, 0); },
         "AD12;RON:7;GCN:9027E0F:9034008:0021004", FrameKind::kMove},
        {"first layout, zoom and focus at full speed",
         [] { return MoveFrame(kFirst, 1, 0, 0, 100, 100, -1); },
         "RON:7;GCN:9023100:9034007:0021003", FrameKind::kMove},
        {"first layout, left-up, zoom out slowly",
         [] { return MoveFrame(kFirst, 1, -100, 100, -50, -30, 0); },
         "RON:7;GCN:90259FF:9034000:0021004", FrameKind::kMove},
        {"first layout, right-down at 50", [] { return MoveFrame(kFirst, 1, 50, -50, 0, 0, 0); },
         "RON:7;GCN:9028D77:9034008:0021004", FrameKind::kMove},
        {"first layout, left-down at 1", [] { return MoveFrame(kFirst, 1, -1, -1, 0, 0, 0); },
         "RON:7;GCN:9028F00:9034008:0021004", FrameKind::kMove},
        {"second layout, zoom out, focus far",
         [] { return MoveFrame(kSecond, 1, 0, 0, -100, 100, 0); },
         "RON:7;GC^:2021364:2022000:202126B:2022770:0021004", FrameKind::kMove},
        {"second layout, right-up, zoom in, focus near",
         [] { return MoveFrame(kSecond, 1, 100, 100, 100, -100, -5); },
         "RON:7;GC^:202136B:2022770:202126F:2022770:0021003", FrameKind::kMove},
        {"second layout, tilt up", [] { return MoveFrame(kSecond, 1, 0, 100, 0, 0, 0); },
         "RON:7;GC^:202136A:2022070:2021264:2022000:0021004", FrameKind::kMove},
    };
    for (const Case& c : cases)
        Check(c);
}

// Speeds drop their remainder and, beyond 100, keep the bits of their digit: no clamping.
TEST(PanasonicFrame, SpeedEdges) {
    const Case cases[] = {
        {"first layout, 1 is speed 0 with its direction",
         [] { return MoveFrame(kFirst, 1, 1, 1, 1, 1, 0); }, "RON:7;GCN:9020B00:9034004:0021004",
         FrameKind::kMove},
        {"first layout, 107 wraps the hexadecimal digit to 0",
         [] { return MoveFrame(kFirst, 1, 107, 0, 0, 0, 0); }, "RON:7;GCN:9028C00:9034008:0021004",
         FrameKind::kMove},
        {"second layout, 115 wraps the decimal digit to 0",
         [] { return MoveFrame(kSecond, 1, 115, -115, 115, 115, 0); },
         "RON:7;GC^:202136D:2022000:2021269:2022000:0021004", FrameKind::kMove},
        {"second layout, 16-bit extremes",
         [] { return MoveFrame(kSecond, 1, -32768, 32767, -32768, 32767, -32768); },
         "RON:7;GC^:2021369:2022550:202126B:2022550:0021003", FrameKind::kMove},
    };
    for (const Case& c : cases)
        Check(c);
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

TEST(PanasonicFrame, PresetsAndPictureCommands) {
    auto command = [](const LineSettings& line, PTZCOMMAND cmd, intptr_t arg) {
        return [=] { return k47panasonic::Command(line, 1, cmd, arg); };
    };
    const Case cases[] = {
        {"set preset 7, first layout", command(kFirst, PTZCMD_SETPRESET, 7), "RON:7;GC7:903006B",
         FrameKind::kPresetSet},
        {"set preset 7, second layout", command(kSecond, PTZCMD_SETPRESET, 7),
         "RON:7;GCF:00219F0:00226B0", FrameKind::kPresetSet},
        {"go to preset 7, second layout", command(kSecond, PTZCMD_GOTOPRESET, 7),
         "RON:7;GCF:00219F0:0022070", FrameKind::kPresetGo},
        {"go to preset 0, first layout", command(kFirst, PTZCMD_GOTOPRESET, 0), "RON:7;GC7:9030000",
         FrameKind::kPresetGo},
        {"set preset 155: code FF", command(kSecond, PTZCMD_SETPRESET, 155),
         "RON:7;GCF:00219F0:0022FF0", FrameKind::kPresetSet},
        {"set preset -100: code 00", command(kFirst, PTZCMD_SETPRESET, -100), "RON:7;GC7:9030000",
         FrameKind::kPresetGo},
        {"go to preset 255", command(kFirst, PTZCMD_GOTOPRESET, 255), "RON:7;GC7:90300FF",
         FrameKind::kPresetSet},
        {"auto focus 0", command(kFirst, PTZCMD_AUTOFOCUS, 0), "RON:7;GC7:9030057",
         FrameKind::kAutoFocus},
        {"auto focus 1", command(kSecond, PTZCMD_AUTOFOCUS, 1), "RON:7;GCF:00219F0:0022560",
         FrameKind::kAutoFocus},
        {"auto focus 7", command(kSecond, PTZCMD_AUTOFOCUS, 7), "RON:7;GCF:00219F0:0022550",
         FrameKind::kAutoFocus},
        {"AGC 0", command(kFirst, PTZCMD_AUTOAGC, 0), "RON:7;GC7:90300AE", FrameKind::kAutoAgc},
        {"AGC 1", command(kSecond, PTZCMD_AUTOAGC, 1), "RON:7;GCF:00219F0:0022AE0",
         FrameKind::kAutoAgc},
        {"AGC 2", command(kSecond, PTZCMD_AUTOAGC, 2), "RON:7;GCF:00219F0:0022AF0",
         FrameKind::kAutoAgc},
        {"auto iris 0", command(kFirst, PTZCMD_AUTOIRIS, 0), "RON:7;GC7:0021005",
         FrameKind::kAutoIris},
        {"auto iris 1", command(kSecond, PTZCMD_AUTOIRIS, 1), "RON:7;GC7:0021005",
         FrameKind::kAutoIris},
        {"auto iris 2", command(kSecond, PTZCMD_AUTOIRIS, 2), "RON:7;GC7:0021034",
         FrameKind::kAutoIris},
        {"backlight 1", command(kFirst, PTZCMD_BACKLIGHT, 1), "RON:7;GC7:00212A2",
         FrameKind::kBacklight},
        {"backlight 0", command(kSecond, PTZCMD_BACKLIGHT, 0), "RON:7;GC7:00212A3",
         FrameKind::kBacklight},
        {"white balance 1", command(kSecond, PTZCMD_WHITEBAL, 1), "RON:7;GC7:0021042",
         FrameKind::kWhiteBalance},
        {"white balance 2", command(kFirst, PTZCMD_WHITEBAL, 2), "RON:7;GC7:0021041",
         FrameKind::kWhiteBalance},
        {"go to preset 3, addressed",
         [] { return k47panasonic::Command(kSecondAddressed, 4, PTZCMD_GOTOPRESET, 3); },
         "AD04;RON:7;GCF:00219F0:0022030", FrameKind::kPresetGo},
    };
    for (const Case& c : cases)
        Check(c);
}

TEST(PanasonicFrame, Menu) {
    auto menu = [](PTZMENUCOMMAND cmd) {
        return [=] { return k47panasonic::Menu(kSecond, 1, cmd); };
    };
    const Case cases[] = {
        {"close", menu(PTZMENUCMD_CLOSE), "RON:7;GC7:0021941", FrameKind::kMenuClose},
        {"open", menu(PTZMENUCMD_OPEN), "RON:7;GC7:0021940", FrameKind::kMenuOpen},
        {"up", menu(PTZMENUCMD_UP), "RON:7;GC7:0021942", FrameKind::kMenuUp},
        {"down", menu(PTZMENUCMD_DOWN), "RON:7;GC7:0021944", FrameKind::kMenuDown},
        {"left", menu(PTZMENUCMD_LEFT), "RON:7;GC7:0021945", FrameKind::kMenuLeft},
        {"right", menu(PTZMENUCMD_RIGHT), "RON:7;GC7:0021943", FrameKind::kMenuRight},
        {"select", menu(PTZMENUCMD_SELECT), "RON:7;GC7:002194A", FrameKind::kMenuSelect},
        {"select2", menu(PTZMENUCMD_SELECT2), "RON:7;GC7:002194B", FrameKind::kMenuSelect2},
        {"first layout: the same group",
         [] { return k47panasonic::Menu(kFirst, 1, PTZMENUCMD_SELECT2); }, "RON:7;GC7:002194B",
         FrameKind::kMenuSelect2},
    };
    for (const Case& c : cases)
        Check(c);
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
