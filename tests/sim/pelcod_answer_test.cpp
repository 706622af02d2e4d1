// Answers of the simulated Pelco-D camera: as long as a driver waits for after each command 2
// (the table written out here, not taken from the code), and the bytes of the general, position
// and identification answers.
#include <gtest/gtest.h>

#include <numeric>

#include "decoder_test_util.h"
#include "sim/PelcoDAnswer.h"

namespace {

using namespace k47::sim;
using k47test::Bytes;
using k47test::Pelco;

DecodedFrame Frame(const Bytes& bytes) {
    return DecodeAll(Protocol::kPelcoD, bytes).at(0);
}

TEST(PelcoDAnswer, LengthFollowsCommand2) {
    struct Case {
        uint8_t command2;
        size_t length;
    };
    const Case cases[] = {{0x45, 18}, {0x51, 7}, {0x53, 7}, {0x55, 7}, {0x63, 7}, {0x07, 4},
                          {0x03, 4},  {0x00, 4}, {0x02, 4}, {0x59, 4}, {0x44, 4}, {0x47, 4}};
    for (const Case& c : cases) {
        Bytes frame = Pelco(1, 0, c.command2, 0, 0);
        CameraState state;
        EXPECT_EQ(PelcoDAnswer(Frame(frame), state).size(), c.length)
            << std::hex << int{c.command2};
    }
}

TEST(PelcoDAnswer, Contents) {
    CameraState state;
    state.pan_deg = 123.45;
    state.tilt_deg = -10.5;
    state.zoom = 1.0;
    state.focus = 0.5;
    struct Case {
        const char* name;
        Bytes frame;
        Bytes answer;
    };
    const Case cases[] = {
        {"go to preset at 3: general answer",
         {0xFF, 0x03, 0x00, 0x07, 0x00, 0x0C, 0x16},
         {0xFF, 0x03, 0x00, 0x03}},
        {"stop at 0xFF: checksum is the address",
         Pelco(0xFF, 0, 0, 0, 0),
         {0xFF, 0xFF, 0x00, 0xFF}},
        {"pan position 123.45 deg",
         Pelco(1, 0, 0x51, 0, 0),
         {0xFF, 0x01, 0x00, 0x59, 0x30, 0x39, 0xC3}},
        {"tilt position -10.50 deg",
         Pelco(1, 0, 0x53, 0, 0),
         {0xFF, 0x01, 0x00, 0x5B, 0xFB, 0xE6, 0x3D}},
        {"zoom at tele", Pelco(2, 0, 0x55, 0, 0), {0xFF, 0x02, 0x00, 0x5D, 0xFF, 0xFF, 0x5D}},
        {"focus half way", Pelco(2, 0, 0x63, 0, 0), {0xFF, 0x02, 0x00, 0x6B, 0x80, 0x00, 0xED}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PelcoDAnswer(Frame(c.frame), state), c.answer) << c.name;
    }

    Bytes id = PelcoDAnswer(Frame(Pelco(4, 0, 0x45, 0, 0)), state);
    ASSERT_EQ(id.size(), 18u);
    EXPECT_EQ(id[0], 0xFF);
    EXPECT_EQ(id[1], 0x04);
    EXPECT_EQ(std::string(id.begin() + 2, id.begin() + 17), "K47 SIMULATOR  ");
    EXPECT_EQ(id[17], std::accumulate(id.begin() + 1, id.begin() + 17, 0u) & 0xFF);
}

TEST(PelcoDAnswer, PanPositionStaysBelow36000) {
    CameraState state;
    state.pan_deg = 359.999;  // rounds to 36000 hundredths, which is 0
    Bytes answer = PelcoDAnswer(Frame(Pelco(1, 0, 0x51, 0, 0)), state);
    ASSERT_EQ(answer.size(), 7u);
    EXPECT_EQ(answer[4], 0x00);
    EXPECT_EQ(answer[5], 0x00);
}

TEST(PelcoDAnswer, NothingForMalformedOrForeignFrames) {
    CameraState state;
    EXPECT_TRUE(PelcoDAnswer(Frame({0xFF, 0x01, 0x00, 0x02, 0x3F, 0x00, 0x43}), state).empty());
    EXPECT_TRUE(PelcoDAnswer(Frame({0x01, 0x02}), state).empty());
    DecodedFrame bosch =
        DecodeAll(Protocol::kBosch, {0x86, 0x00, 0x00, 0x07, 0x05, 0x0C, 0x1E}).at(0);
    EXPECT_TRUE(PelcoDAnswer(bosch, state).empty());
}

}  // namespace
