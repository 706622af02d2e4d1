// Panasonic decoder: every byte example of the protocol's driver decodes to its frame (whole,
// byte by byte, random splits); the address prefix appears only with several cameras and keeps
// two digits of a longer address; both layouts are told apart by their group count; framing
// errors, stray end bytes, overlong and cut frames are reported and decoding resumes.
#include <gtest/gtest.h>

#include "decoder_test_util.h"
#include "sim/PanasonicDecoder.h"

namespace {

using namespace k47::sim;
using k47test::Bytes;
using k47test::DecodeEveryWay;
using k47test::Stx;

DecodedFrame Want(FrameKind kind, int address = -1, int layout = 0) {
    DecodedFrame f;
    f.protocol = Protocol::kPanasonic;
    f.kind = kind;
    f.address = address;
    f.layout = layout;
    return f;
}

// First layout move: pan/tilt speeds 0..15, zoom/focus 0..3, iris a direction only.
DecodedFrame Move1(int address, Axis pan, Axis tilt, Axis zoom, Axis focus, int iris) {
    DecodedFrame f = Want(FrameKind::kMove, address, 1);
    f.pan = {pan.direction, pan.speed, 15};
    f.tilt = {tilt.direction, tilt.speed, 15};
    f.zoom = {zoom.direction, zoom.speed, 3};
    f.focus = {focus.direction, focus.speed, 3};
    f.iris = {iris, 0, 0};
    if (!pan.direction && !tilt.direction && !zoom.direction && !focus.direction && !iris) {
        f.kind = FrameKind::kStop;
    }
    return f;
}

// Second layout move: every speed 0..7, iris a direction only.
DecodedFrame Move2(int address, Axis pan, Axis tilt, Axis zoom, Axis focus, int iris) {
    DecodedFrame f = Want(FrameKind::kMove, address, 2);
    f.pan = {pan.direction, pan.speed, 7};
    f.tilt = {tilt.direction, tilt.speed, 7};
    f.zoom = {zoom.direction, zoom.speed, 7};
    f.focus = {focus.direction, focus.speed, 7};
    f.iris = {iris, 0, 0};
    if (!pan.direction && !tilt.direction && !zoom.direction && !focus.direction && !iris) {
        f.kind = FrameKind::kStop;
    }
    return f;
}

DecodedFrame Code(FrameKind kind, int layout, int preset, int arg, int address = -1) {
    DecodedFrame f = Want(kind, address, layout);
    f.preset = preset;
    f.arg = arg;
    return f;
}

struct Vector {
    const char* name;
    const char* text;  // between 0x02 and 0x03
    DecodedFrame want;
};

std::vector<Vector> Vectors() {
    const Axis o{};
    return {
        // The examples of the driver's description, one per line.
        {"layout 1, pan +100", "RON:7;GCN:9028CF0:9034008:0021004", Move1(-1, {1, 15}, o, o, o, 0)},
        {"layout 1, all 0", "RON:7;GCN:9028100:9034008:0021004", Move1(-1, o, o, o, o, 0)},
        {"layout 2, pan +100", "RON:7;GC^:202136C:2022700:2021264:2022000:0021004",
         Move2(-1, {1, 7}, o, o, o, 0)},
        {"layout 2, all 0", "RON:7;GC^:2021364:2022000:2021264:2022000:0021004",
         Move2(-1, o, o, o, o, 0)},
        {"layout 2, two cameras, address 5",
         "AD05;RON:7;GC^:2021369:2022320:202126F:2022700:0021002",
         Move2(5, {-1, 3}, {1, 2}, {1, 7}, {-1, 0}, 1)},
        {"layout 1, three cameras, address 12 (also what address 123 sends)",
         "AD12;RON:7;GCN:9027E0F:9034008:0021004", Move1(12, o, {-1, 15}, {-1, 3}, o, 0)},
        {"set preset 7, layout 1", "RON:7;GC7:903006B", Code(FrameKind::kPresetSet, 1, 7, -1)},
        {"set preset 7, layout 2", "RON:7;GCF:00219F0:00226B0",
         Code(FrameKind::kPresetSet, 2, 7, -1)},
        {"go to preset 7, layout 2", "RON:7;GCF:00219F0:0022070",
         Code(FrameKind::kPresetGo, 2, 7, -1)},
        {"menu select2", "RON:7;GC7:002194B", Want(FrameKind::kMenuSelect2)},
        // The rest of the driver's tables.
        {"go to preset 0, layout 1", "RON:7;GC7:9030000", Code(FrameKind::kPresetGo, 1, 0, -1)},
        {"set preset 63, layout 2", "AD02;RON:7;GCF:00219F0:0022A30",
         Code(FrameKind::kPresetSet, 2, 63, -1, 2)},
        {"auto focus arg 0", "RON:7;GC7:9030057", Code(FrameKind::kAutoFocus, 1, -1, 0)},
        {"auto focus arg 1", "RON:7;GCF:00219F0:0022560", Code(FrameKind::kAutoFocus, 2, -1, 1)},
        {"auto focus other", "RON:7;GC7:9030055", Code(FrameKind::kAutoFocus, 1, -1, 2)},
        {"AGC arg 0 or 1", "RON:7;GC7:90300AE", Code(FrameKind::kAutoAgc, 1, -1, 0)},
        {"AGC other", "RON:7;GCF:00219F0:0022AF0", Code(FrameKind::kAutoAgc, 2, -1, 2)},
        {"auto iris arg 0 or 1", "RON:7;GC7:0021005", Code(FrameKind::kAutoIris, 0, -1, 0)},
        {"auto iris other", "RON:7;GC7:0021034", Code(FrameKind::kAutoIris, 0, -1, 2)},
        {"backlight 1", "RON:7;GC7:00212A2", Code(FrameKind::kBacklight, 0, -1, 1)},
        {"backlight other", "RON:7;GC7:00212A3", Code(FrameKind::kBacklight, 0, -1, 0)},
        {"white balance 1", "RON:7;GC7:0021042", Code(FrameKind::kWhiteBalance, 0, -1, 1)},
        {"white balance other", "RON:7;GC7:0021041", Code(FrameKind::kWhiteBalance, 0, -1, 0)},
        {"menu close", "RON:7;GC7:0021941", Want(FrameKind::kMenuClose)},
        {"menu open", "AD99;RON:7;GC7:0021940", Want(FrameKind::kMenuOpen, 99)},
        {"menu up", "RON:7;GC7:0021942", Want(FrameKind::kMenuUp)},
        {"menu down", "RON:7;GC7:0021944", Want(FrameKind::kMenuDown)},
        {"menu left", "RON:7;GC7:0021945", Want(FrameKind::kMenuLeft)},
        {"menu right", "RON:7;GC7:0021943", Want(FrameKind::kMenuRight)},
        {"menu select", "AD00;RON:7;GC7:002194A", Want(FrameKind::kMenuSelect, 0)},
        // Lens digits of the first layout: direction 0 (zoom tele, focus near) or 4, speed 0..3.
        {"layout 1 zoom tele 3, focus far 3, iris close", "RON:7;GCN:9023100:9034007:0021003",
         Move1(-1, o, o, {1, 3}, {1, 3}, -1)},
        {"layout 1 zoom wide 1, focus near 1, pan left 15, up 7",
         "RON:7;GCN:90259F7:9034001:0021004", Move1(-1, {-1, 15}, {1, 7}, {-1, 1}, {-1, 1}, 0)},
        {"layout 1 every pan/tilt direction: down-right", "RON:7;GCN:9028D11:9034008:0021004",
         Move1(-1, {1, 1}, {-1, 1}, o, o, 0)},
        {"layout 2 zoom wide, focus far", "RON:7;GC^:2021364:2022000:202126B:2022520:0021004",
         Move2(-1, o, o, {-1, 5}, {1, 2}, 0)},
        {"layout 2 up only", "RON:7;GC^:202136A:2022060:2021264:2022000:0021004",
         Move2(-1, o, {1, 6}, o, o, 0)},
        // Well-formed but not sent by these drivers.
        {"unknown single group", "RON:7;GC7:1234567", Want(FrameKind::kUnknown)},
        {"four groups", "RON:7;GCV:1234567:1234567:1234567:1234567", Want(FrameKind::kUnknown)},
    };
}

TEST(PanasonicDecoder, ByteExamplesDecode) {
    for (const Vector& v : Vectors()) {
        SCOPED_TRACE(v.name);
        Bytes bytes = Stx(v.text);
        std::vector<DecodedFrame> frames = DecodeEveryWay(Protocol::kPanasonic, bytes);
        ASSERT_EQ(frames.size(), 1u);
        DecodedFrame want = v.want;
        want.raw = bytes;
        EXPECT_EQ(frames[0], want);
    }
}

TEST(PanasonicDecoder, LayoutFollowsTheGroupCountAndSpeedsMapBack) {
    // The same request (pan -50, tilt +30, zoom +100, focus -10, iris +1) in both layouts.
    std::vector<DecodedFrame> one =
        DecodeEveryWay(Protocol::kPanasonic, Stx("RON:7;GCN:9023974:9034000:0021002"));
    std::vector<DecodedFrame> two = DecodeEveryWay(
        Protocol::kPanasonic, Stx("RON:7;GC^:2021369:2022320:202126F:2022700:0021002"));
    ASSERT_EQ(one.size(), 1u);
    ASSERT_EQ(two.size(), 1u);
    EXPECT_EQ(one[0].layout, 1);
    EXPECT_EQ(one[0].pan.Percent(), -47);   // 7 of 15: the smallest magnitude giving 7
    EXPECT_EQ(one[0].tilt.Percent(), 27);   // 4 of 15
    EXPECT_EQ(one[0].zoom.Percent(), 100);  // lens digit 0|3: tele at 3 of 3
    EXPECT_EQ(one[0].focus.Percent(), -1);  // lens digit 0|0: near at 0 of 3
    EXPECT_EQ(one[0].iris.Percent(), 100);
    EXPECT_EQ(two[0].layout, 2);
    EXPECT_EQ(two[0].pan.Percent(), -43);   // 3 of 7: the smallest magnitude giving 3
    EXPECT_EQ(two[0].tilt.Percent(), 29);   // 2 of 7
    EXPECT_EQ(two[0].zoom.Percent(), 100);  // 7 of 7
    EXPECT_EQ(two[0].focus.Percent(), -1);  // direction with speed 0
    EXPECT_EQ(two[0].iris.Percent(), 100);  // a direction only
}

TEST(PanasonicDecoder, OverlongFrameIsCutAtTheCap) {
    Bytes stream{0x02};
    stream.insert(stream.end(), 100, 'A');
    Bytes good = Stx("RON:7;GC7:0021940");
    stream.insert(stream.end(), good.begin(), good.end());

    PanasonicDecoder decoder;
    std::vector<DecodedFrame> frames;
    for (uint8_t b : stream) {
        decoder.Feed(&b, 1, frames);
        EXPECT_LT(decoder.Pending(), PanasonicDecoder::kMaxFrame);
    }
    decoder.Flush(frames);
    // 64 bytes overlong, 37 'A's left as bad sync in runs of at most 32, then the frame.
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].error, Malformed::kOverlong);
    EXPECT_EQ(frames[0].raw.size(), PanasonicDecoder::kMaxFrame);
    EXPECT_EQ(frames[1].error, Malformed::kBadSync);
    EXPECT_EQ(frames[1].raw.size(), PanasonicDecoder::kMaxGarbage);
    EXPECT_EQ(frames[2].error, Malformed::kBadSync);
    EXPECT_EQ(frames[2].raw.size(),
              101 - PanasonicDecoder::kMaxFrame - PanasonicDecoder::kMaxGarbage);
    EXPECT_EQ(frames[3].kind, FrameKind::kMenuOpen);
    EXPECT_EQ(DecodeEveryWay(Protocol::kPanasonic, stream), frames);

    // The longest frame the drivers send still fits.
    Bytes longest = Stx("AD99;RON:7;GC^:2021369:2022320:202126F:2022700:0021002");
    EXPECT_LE(longest.size(), PanasonicDecoder::kMaxFrame);
    EXPECT_EQ(DecodeEveryWay(Protocol::kPanasonic, longest)[0].kind, FrameKind::kMove);
}

TEST(PanasonicDecoder, AddressPrefixOnlyWithSeveralCameras) {
    struct Case {
        const char* text;
        int address;
    };
    // The prefix carries the first two characters of "%02d": 5 -> 05, 123 -> 12, 7 -> 07.
    const Case cases[] = {
        {"RON:7;GC7:0021940", -1},      {"AD05;RON:7;GC7:0021940", 5},
        {"AD12;RON:7;GC7:0021940", 12}, {"AD07;RON:7;GC7:0021940", 7},
        {"AD00;RON:7;GC7:0021940", 0},
    };
    for (const Case& c : cases) {
        std::vector<DecodedFrame> frames = DecodeEveryWay(Protocol::kPanasonic, Stx(c.text));
        ASSERT_EQ(frames.size(), 1u) << c.text;
        EXPECT_EQ(frames[0].kind, FrameKind::kMenuOpen) << c.text;
        EXPECT_EQ(frames[0].address, c.address) << c.text;
    }
}

}  // namespace
