// Pelco-D frame decoder (rules in PelcoDDecoder.h).
#include "sim/PelcoDDecoder.h"

namespace k47::sim {

namespace {

constexpr int kFullSpeed = 0x3F;

DecodedFrame MakeMalformed(Malformed error, std::vector<uint8_t> raw) {
    DecodedFrame f;
    f.protocol = Protocol::kPelcoD;
    f.kind = FrameKind::kMalformed;
    f.error = error;
    f.raw = std::move(raw);
    return f;
}

// The axis from its two direction bits and speed; false for both bits, or a speed without a
// direction.
bool DecodeAxis(bool plus, bool minus, int speed, int full_scale, Axis* axis) {
    if (plus && minus) {
        return false;
    }
    axis->direction = plus ? 1 : (minus ? -1 : 0);
    axis->full_scale = full_scale;
    axis->speed = speed;
    return axis->direction != 0 || speed == 0;
}

}  // namespace

DecodedFrame PelcoDDecoder::Interpret(const std::array<uint8_t, kFrameSize>& b) {
    DecodedFrame f;
    f.protocol = Protocol::kPelcoD;
    f.raw.assign(b.begin(), b.end());
    f.address = b[1];
    f.command = b[3];
    const uint8_t cmd1 = b[2];
    const uint8_t cmd2 = b[3];
    const uint8_t data1 = b[4];
    const uint8_t data2 = b[5];

    if (cmd2 & 0x01) {
        if (cmd1 != 0) {
            f.kind = FrameKind::kUnknown;
            return f;
        }
        switch (cmd2) {
            case 0x03:
                f.kind = FrameKind::kPresetSet;
                f.preset = data2;
                break;
            case 0x05:
                f.kind = FrameKind::kPresetClear;
                f.preset = data2;
                break;
            case 0x07:
                f.kind = FrameKind::kPresetGo;
                f.preset = data2;
                break;
            case 0x2B:
                f.kind = FrameKind::kAutoFocus;
                f.arg = data2;
                break;
            case 0x2D:
                f.kind = FrameKind::kAutoIris;
                f.arg = data2;
                break;
            case 0x2F:
                f.kind = FrameKind::kAutoAgc;
                f.arg = data2;
                break;
            case 0x31:
                f.kind = FrameKind::kBacklight;
                f.arg = data2;
                break;
            case 0x33:
                f.kind = FrameKind::kWhiteBalance;
                f.arg = data2;
                break;
            default:
                f.kind = FrameKind::kUnknown;
                break;
        }
        return f;
    }
    if (cmd1 & 0xF8) {
        const bool rest_clear = cmd2 == 0 && data1 == 0 && data2 == 0;
        if (cmd1 == 0x88 && rest_clear) {
            f.kind = FrameKind::kCameraOn;
        } else if (cmd1 == 0x10 && rest_clear) {
            f.kind = FrameKind::kManualScan;
        } else {
            f.kind = FrameKind::kUnknown;
        }
        return f;
    }
    // Data 1 and data 2 above 0x3F (turbo and beyond) are never sent by these drivers.
    bool ok = data1 <= kFullSpeed && data2 <= kFullSpeed;
    ok = DecodeAxis(cmd2 & 0x02, cmd2 & 0x04, data1, kFullSpeed, &f.pan) && ok;
    ok = DecodeAxis(cmd2 & 0x08, cmd2 & 0x10, data2, kFullSpeed, &f.tilt) && ok;
    ok = DecodeAxis(cmd2 & 0x20, cmd2 & 0x40, 0, 0, &f.zoom) && ok;
    ok = DecodeAxis(cmd2 & 0x80, cmd1 & 0x01, 0, 0, &f.focus) && ok;
    ok = DecodeAxis(cmd1 & 0x02, cmd1 & 0x04, 0, 0, &f.iris) && ok;
    if (!ok) {
        DecodedFrame bad = MakeMalformed(Malformed::kBadField, f.raw);
        bad.address = f.address;
        bad.command = f.command;
        return bad;
    }
    const bool moving = f.pan.direction || f.tilt.direction || f.zoom.direction ||
                        f.focus.direction || f.iris.direction;
    f.kind = moving ? FrameKind::kMove : FrameKind::kStop;
    return f;
}

void PelcoDDecoder::EmitGarbage(std::vector<DecodedFrame>& out) {
    if (!garbage_.empty()) {
        out.push_back(MakeMalformed(Malformed::kBadSync, std::move(garbage_)));
        garbage_.clear();
    }
}

void PelcoDDecoder::Complete(std::vector<DecodedFrame>& out) {
    const std::array<uint8_t, kFrameSize> frame = frame_;
    have_ = 0;
    state_ = State::kSync;
    unsigned sum = 0;
    for (size_t i = 1; i < kFrameSize - 1; ++i) {
        sum += frame[i];
    }
    if ((sum & 0xFF) == frame[kFrameSize - 1]) {
        out.push_back(Interpret(frame));
        return;
    }
    // Report up to the next 0xFF inside the frame and decode again from there: that 0xFF may
    // have been the real start, the first one line noise.
    size_t restart = 1;
    while (restart < kFrameSize && frame[restart] != kSync) {
        ++restart;
    }
    DecodedFrame bad = MakeMalformed(Malformed::kBadChecksum,
                                     std::vector<uint8_t>(frame.begin(), frame.begin() + restart));
    bad.address = frame[1];
    out.push_back(std::move(bad));
    // At most six bytes starting with 0xFF: they cannot complete a frame, so this does not
    // recurse further.
    for (size_t i = restart; i < kFrameSize; ++i) {
        Step(frame[i], out);
    }
}

void PelcoDDecoder::Step(uint8_t byte, std::vector<DecodedFrame>& out) {
    switch (state_) {
        case State::kSync:
            if (byte != kSync) {
                garbage_.push_back(byte);
                if (garbage_.size() >= kMaxGarbage) {
                    EmitGarbage(out);
                }
                return;
            }
            EmitGarbage(out);
            frame_[0] = byte;
            have_ = 1;
            state_ = State::kBody;
            return;
        case State::kBody:
            frame_[have_++] = byte;
            if (have_ == kFrameSize) {
                Complete(out);
            }
            return;
    }
}

void PelcoDDecoder::Feed(const uint8_t* data, size_t size, std::vector<DecodedFrame>& out) {
    for (size_t i = 0; i < size; ++i) {
        Step(data[i], out);
    }
}

void PelcoDDecoder::Flush(std::vector<DecodedFrame>& out) {
    EmitGarbage(out);
    if (have_ > 0) {
        DecodedFrame cut = MakeMalformed(
            Malformed::kTruncated, std::vector<uint8_t>(frame_.begin(), frame_.begin() + have_));
        if (have_ > 1) {
            cut.address = frame_[1];
        }
        out.push_back(std::move(cut));
    }
    have_ = 0;
    state_ = State::kSync;
}

}  // namespace k47::sim
