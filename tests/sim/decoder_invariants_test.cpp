// Properties every decoder keeps on arbitrary input: the same frames whatever the split, every
// byte accounted for in exactly one frame, bounded memory, good frames found after noise; and
// the percent scale maps each protocol speed back to the smallest driver magnitude giving it.
#include <gtest/gtest.h>

#include <random>

#include "decoder_test_util.h"
#include "sim/BoschDecoder.h"
#include "sim/PanasonicDecoder.h"
#include "sim/PelcoDDecoder.h"

namespace {

using namespace k47::sim;
using k47test::Bytes;

struct ProtocolCase {
    Protocol protocol;
    size_t max_pending;  // the decoder's caps
    Bytes alphabet;      // bytes that matter to it, mixed into the noise
    Bytes good;          // a valid frame
    FrameKind good_kind;
};

std::vector<ProtocolCase> Protocols() {
    return {
        {Protocol::kPelcoD,
         PelcoDDecoder::kMaxGarbage,
         {0xFF, 0x00, 0x01, 0x02, 0x07, 0x3F},
         {0xFF, 0x01, 0x00, 0x02, 0x3F, 0x00, 0x42},
         FrameKind::kMove},
        {Protocol::kPanasonic,
         PanasonicDecoder::kMaxFrame,
         {0x02, 0x03, ':', ';', 'A', 'D', '0'},
         k47test::Stx("RON:7;GC7:0021940"),
         FrameKind::kMenuOpen},
        {Protocol::kBosch,
         BoschDecoder::kMaxLength + 1,
         {0x80, 0x86, 0x87, 0x05, 0x07, 0xFF},
         {0x86, 0x00, 0x00, 0x07, 0x05, 0x0C, 0x1E},
         FrameKind::kPresetGo},
    };
}

TEST(DecoderInvariants, ArbitraryInputIsBoundedSplitIndependentAndFullyAccounted) {
    for (const ProtocolCase& p : Protocols()) {
        SCOPED_TRACE(ProtocolName(p.protocol));
        std::mt19937 rng(2024);
        for (int round = 0; round < 50; ++round) {
            Bytes input(500 + rng() % 1500);
            for (uint8_t& b : input) {
                b = (rng() % 3 == 0) ? p.alphabet[rng() % p.alphabet.size()]
                                     : static_cast<uint8_t>(rng());
            }
            // DecodeEveryWay checks split independence and that raw bytes add up to the input.
            std::vector<DecodedFrame> frames = k47test::DecodeEveryWay(p.protocol, input, round);
            for (const DecodedFrame& f : frames) {
                EXPECT_EQ(f.protocol, p.protocol);
                EXPECT_LE(f.raw.size(), p.max_pending + 1);
                EXPECT_EQ(f.kind == FrameKind::kMalformed, f.error != Malformed::kNone)
                    << Describe(f);
            }
            auto decoder = MakeDecoder(p.protocol);
            std::vector<DecodedFrame> sink;
            for (uint8_t b : input) {
                decoder->Feed(&b, 1, sink);
                ASSERT_LE(decoder->Pending(), p.max_pending);
            }
        }
    }
}

TEST(DecoderInvariants, ValidFrameIsFoundAfterAnyNoiseAndAFlush) {
    for (const ProtocolCase& p : Protocols()) {
        SCOPED_TRACE(ProtocolName(p.protocol));
        std::mt19937 rng(77);
        for (int round = 0; round < 100; ++round) {
            auto decoder = MakeDecoder(p.protocol);
            std::vector<DecodedFrame> frames;
            Bytes noise(rng() % 200);
            for (uint8_t& b : noise) {
                b = static_cast<uint8_t>(rng());
            }
            decoder->Feed(noise.data(), noise.size(), frames);
            decoder->Flush(frames);  // the line went quiet: whatever was half-read is given up
            frames.clear();
            decoder->Feed(p.good.data(), p.good.size(), frames);
            ASSERT_EQ(frames.size(), 1u) << "round " << round;
            EXPECT_EQ(frames[0].kind, p.good_kind);
            EXPECT_EQ(frames[0].raw, p.good);
        }
    }
}

TEST(DecoderInvariants, PercentIsTheSmallestMagnitudeGivingTheSpeed) {
    for (int full : {63, 15, 7, 3}) {
        for (int v = 1; v <= 100; ++v) {
            const int speed = v * full / 100;  // what every driver sends for |v|
            for (int direction : {1, -1}) {
                Axis axis{direction, speed, full};
                const int m = axis.Percent() * direction;
                ASSERT_GE(m, 1);
                EXPECT_LE(m, v) << full << " " << v;
                EXPECT_EQ(m * full / 100, speed) << full << " " << v;
                EXPECT_TRUE(m == 1 || (m - 1) * full / 100 < speed) << full << " " << v;
            }
        }
    }
    EXPECT_EQ((Axis{0, 0, 63}.Percent()), 0);
    EXPECT_EQ((Axis{1, 0, 0}.Percent()), 100);
    EXPECT_EQ((Axis{-1, 0, 0}.Percent()), -100);
}

}  // namespace
