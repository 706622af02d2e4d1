// Pelco-D decoder: every byte example of the protocol's driver decodes to its frame (whole, byte
// by byte, random splits), checksum errors and garbage are reported and skipped with
// resynchronisation on the next 0xFF, and bit combinations no driver sends are flagged.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "decoder_test_util.h"
#include "sim/PelcoDDecoder.h"

namespace {

using namespace k47::sim;
using k47test::Bytes;
using k47test::DecodeEveryWay;
using k47test::Pelco;

DecodedFrame Want(FrameKind kind, int address, int command) {
    DecodedFrame f;
    f.protocol = Protocol::kPelcoD;
    f.kind = kind;
    f.address = address;
    f.command = command;
    return f;
}

// A move frame: pan and tilt always carry the 0..63 scale, the other axes only a direction.
DecodedFrame WantMove(int address, int command, Axis pan, Axis tilt, int zoom = 0, int focus = 0,
                      int iris = 0) {
    DecodedFrame f = Want(FrameKind::kMove, address, command);
    f.pan = {pan.direction, pan.speed, 63};
    f.tilt = {tilt.direction, tilt.speed, 63};
    f.zoom = {zoom, 0, 0};
    f.focus = {focus, 0, 0};
    f.iris = {iris, 0, 0};
    if (!pan.direction && !tilt.direction && !zoom && !focus && !iris) {
        f.kind = FrameKind::kStop;
    }
    return f;
}

DecodedFrame WantCode(FrameKind kind, int address, int command, int preset, int arg) {
    DecodedFrame f = Want(kind, address, command);
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
    const Axis still{};
    return {
        {"pan +100 at 1",
         {0xFF, 0x01, 0x00, 0x02, 0x3F, 0x00, 0x42},
         WantMove(1, 0x02, {1, 63}, still)},
        {"tilt -50 at 1",
         {0xFF, 0x01, 0x00, 0x10, 0x00, 0x1F, 0x30},
         WantMove(1, 0x10, still, {-1, 31})},
        {"zoom +7 at 2",
         {0xFF, 0x02, 0x00, 0x20, 0x00, 0x00, 0x22},
         WantMove(2, 0x20, still, still, 1)},
        {"zoom -1 at 2",
         {0xFF, 0x02, 0x00, 0x40, 0x00, 0x00, 0x42},
         WantMove(2, 0x40, still, still, -1)},
        {"focus +1 iris -1 at 1",
         {0xFF, 0x01, 0x04, 0x80, 0x00, 0x00, 0x85},
         WantMove(1, 0x80, still, still, 0, 1, -1)},
        {"go to preset 12 at 3",
         {0xFF, 0x03, 0x00, 0x07, 0x00, 0x0C, 0x16},
         WantCode(FrameKind::kPresetGo, 3, 0x07, 12, -1)},
        {"checksum wraps at address 0xFF",
         {0xFF, 0xFF, 0x00, 0x02, 0x3F, 0x00, 0x40},
         WantMove(255, 0x02, {1, 63}, still)},
        {"stop at 1", {0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01}, WantMove(1, 0x00, still, still)},
        {"camera on at 5", Pelco(5, 0x88, 0, 0, 0), Want(FrameKind::kCameraOn, 5, 0x00)},
        {"manual scan at 5", Pelco(5, 0x10, 0, 0, 0), Want(FrameKind::kManualScan, 5, 0x00)},
        {"set preset 95 (menu on Pelco models)", Pelco(7, 0, 0x03, 0, 0x5F),
         WantCode(FrameKind::kPresetSet, 7, 0x03, 95, -1)},
        {"go to preset 95 (menu on generic models)", Pelco(7, 0, 0x07, 0, 0x5F),
         WantCode(FrameKind::kPresetGo, 7, 0x07, 95, -1)},
        {"clear preset 3", Pelco(1, 0, 0x05, 0, 3),
         WantCode(FrameKind::kPresetClear, 1, 0x05, 3, -1)},
        {"auto focus 1", Pelco(1, 0, 0x2B, 0, 1), WantCode(FrameKind::kAutoFocus, 1, 0x2B, -1, 1)},
        {"auto iris 0", Pelco(1, 0, 0x2D, 0, 0), WantCode(FrameKind::kAutoIris, 1, 0x2D, -1, 0)},
        {"AGC 2", Pelco(1, 0, 0x2F, 0, 2), WantCode(FrameKind::kAutoAgc, 1, 0x2F, -1, 2)},
        {"backlight 1", Pelco(1, 0, 0x31, 0, 1), WantCode(FrameKind::kBacklight, 1, 0x31, -1, 1)},
        {"white balance 255", Pelco(1, 0, 0x33, 0, 255),
         WantCode(FrameKind::kWhiteBalance, 1, 0x33, -1, 255)},
        {"query 0x45 is unknown", Pelco(1, 0, 0x45, 0, 0), Want(FrameKind::kUnknown, 1, 0x45)},
        {"query 0x51 is unknown", Pelco(9, 0, 0x51, 0, 0), Want(FrameKind::kUnknown, 9, 0x51)},
        {"pan -1: speed 0 with the direction bit", Pelco(1, 0, 0x04, 0, 0),
         WantMove(1, 0x04, {-1, 0}, still)},
        {"every axis at once", Pelco(4, 0x01 | 0x02, 0x02 | 0x08 | 0x40, 0x3F, 0x01),
         WantMove(4, 0x4A, {1, 63}, {1, 1}, -1, -1, 1)},
        {"auto scan with sense is unknown", Pelco(1, 0x90, 0, 0, 0),
         Want(FrameKind::kUnknown, 1, 0x00)},
        {"camera off (no sense) is unknown", Pelco(1, 0x08, 0, 0, 0),
         Want(FrameKind::kUnknown, 1, 0x00)},
        {"extended code with command 1 set is unknown", Pelco(1, 0x01, 0x07, 0, 1),
         Want(FrameKind::kUnknown, 1, 0x07)},
    };
}

TEST(PelcoDDecoder, ByteExamplesDecode) {
    for (const Vector& v : Vectors()) {
        SCOPED_TRACE(v.name);
        std::vector<DecodedFrame> frames = DecodeEveryWay(Protocol::kPelcoD, v.bytes);
        ASSERT_EQ(frames.size(), 1u);
        DecodedFrame want = v.want;
        want.raw = v.bytes;
        EXPECT_EQ(frames[0], want);
    }
}

// Valid frames hidden in noise that holds stray 0xFF bytes (the sync byte, which is also an
// address and data value) are all found. Addresses below 128 and speeds below 64 keep a stray
// 0xFF from forming a frame with a valid checksum out of the real frame's first six bytes.
TEST(PelcoDDecoder, FindsEveryFrameInNoise) {
    std::mt19937 rng(1234);
    const uint8_t kNoise[] = {0x00, 0x10, 0x7E, 0x42};
    for (int round = 0; round < 200; ++round) {
        Bytes stream;
        std::vector<Bytes> hidden;
        for (int i = 0; i < 5; ++i) {
            int noise = rng() % 4;
            for (int k = 0; k < noise; ++k) {
                stream.push_back(kNoise[rng() % 4]);
            }
            if (rng() % 2) {
                stream.push_back(0xFF);
            }
            Bytes f = Pelco(static_cast<uint8_t>(rng() % 128), 0, 0x02, rng() % 64, 0);
            hidden.push_back(f);
            stream.insert(stream.end(), f.begin(), f.end());
        }
        std::vector<DecodedFrame> frames = DecodeEveryWay(Protocol::kPelcoD, stream, round);
        std::vector<Bytes> found;
        for (const auto& f : frames) {
            if (f.kind != FrameKind::kMalformed) {
                found.push_back(f.raw);
            }
        }
        EXPECT_EQ(found, hidden) << "round " << round;
    }
}

}  // namespace
