// Shared body of the serial decoder fuzz targets. The first input byte picks the split size
// (1..32, its low five bits) used to feed the rest, and with bit 5 the camera model whose menu
// opens with Set Preset 95 instead of Go To Preset 95; the run aborts if feeding in pieces gives
// other frames than feeding at once, if a byte is lost or duplicated across frames, if the decoder
// holds more than its cap, or if the simulated camera or the Pelco-D answers misbehave on the
// frames (a camera that is still must stay where it is).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "drivers/PelcoDFrame.h"
#include "sim/FrameDecoder.h"
#include "sim/PelcoDAnswer.h"
#include "sim/SimulatedCamera.h"

namespace k47fuzz {

inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

inline int FuzzDecoder(k47::sim::Protocol protocol, size_t max_pending, const uint8_t* data,
                       size_t size) {
    using namespace k47::sim;
    if (size == 0) {
        return 0;
    }
    const size_t split = data[0] % 32 + 1;
    CameraLimits limits;
    limits.menu_on_set_preset = (data[0] & 0x20) != 0;
    ++data;
    --size;
    const std::vector<uint8_t> input(data, data + size);
    const std::vector<DecodedFrame> whole = DecodeAll(protocol, input);

    auto decoder = MakeDecoder(protocol);
    std::vector<DecodedFrame> pieces;
    for (size_t at = 0; at < size; at += split) {
        decoder->Feed(data + at, std::min(split, size - at), pieces);
        Check(decoder->Pending() <= max_pending);
    }
    decoder->Flush(pieces);
    Check(decoder->Pending() == 0);
    Check(pieces == whole);

    std::vector<uint8_t> joined;
    for (const DecodedFrame& f : whole) {
        Check(!f.raw.empty());
        Check((f.kind == FrameKind::kMalformed) == (f.error != Malformed::kNone));
        joined.insert(joined.end(), f.raw.begin(), f.raw.end());
        Check(!Describe(f).empty());
    }
    Check(joined == input);

    CameraBank bank(protocol, limits);
    SimTime now{0};
    for (const DecodedFrame& f : whole) {
        now += std::chrono::milliseconds(40);
        SimulatedCamera* camera = bank.Apply(f, now);
        if (camera) {
            const CameraState& s = camera->state();
            Check(s.pan_deg >= 0 && s.pan_deg < 360);
            Check(s.tilt_deg >= -90 && s.tilt_deg <= 90);
            Check(s.zoom >= 0 && s.zoom <= 1);
            if (protocol == Protocol::kPelcoD) {
                std::vector<uint8_t> answer = PelcoDAnswer(f, s);
                Check(answer.size() == k47pelcod::AnswerLength(f.raw[3]));
            }
        }
    }
    bank.AdvanceTo(now + std::chrono::hours(1));
    std::vector<std::pair<int, CameraState>> still;
    for (const auto& [address, camera] : bank.cameras()) {
        const CameraState& s = camera.state();
        Check(s.pan_deg >= 0 && s.pan_deg < 360);
        Check(s.tilt_deg >= -90 && s.tilt_deg <= 90);
        if (!camera.moving())
            still.emplace_back(address, s);
    }
    bank.AdvanceTo(now + std::chrono::hours(2));
    for (const auto& [address, before] : still) {
        const CameraState& after = bank.Find(address)->state();
        Check(after.pan_deg == before.pan_deg && after.tilt_deg == before.tilt_deg &&
              after.zoom == before.zoom && after.focus == before.focus &&
              after.iris == before.iris);
    }
    return 0;
}

}  // namespace k47fuzz
