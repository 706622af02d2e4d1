// Bosch frame decoder (rules in BoschDecoder.h).
#include "sim/BoschDecoder.h"

namespace k47::sim {

namespace {

DecodedFrame MakeMalformed(Malformed error, std::vector<uint8_t> raw) {
    DecodedFrame f;
    f.protocol = Protocol::kBosch;
    f.kind = FrameKind::kMalformed;
    f.error = error;
    f.raw = std::move(raw);
    return f;
}

int Address(const uint8_t* frame) {
    return ((frame[1] << 7) | frame[2]) + 1;
}

bool SetAxis(bool plus, bool minus, int speed, int full_scale, Axis* axis) {
    if (plus && minus) {
        return false;
    }
    axis->direction = plus ? 1 : (minus ? -1 : 0);
    axis->speed = speed;
    axis->full_scale = full_scale;
    return axis->direction != 0 || speed == 0;
}

bool Move(const uint8_t* b, DecodedFrame& f) {
    const uint8_t speeds = b[4];
    const uint8_t pan_iris = b[5];
    const uint8_t dirs = b[6];
    bool ok = (dirs & 0x80) == 0;
    ok = SetAxis(dirs & 0x01, dirs & 0x02, (pan_iris >> 3) & 0x0F, 15, &f.pan) && ok;
    ok = SetAxis(dirs & 0x08, dirs & 0x04, speeds & 0x0F, 15, &f.tilt) && ok;
    ok = SetAxis(dirs & 0x20, dirs & 0x10, (speeds >> 4) & 0x07, 7, &f.zoom) && ok;
    ok = SetAxis(dirs & 0x40, pan_iris & 0x01, 0, 0, &f.focus) && ok;
    ok = SetAxis(pan_iris & 0x04, pan_iris & 0x02, 0, 0, &f.iris) && ok;
    const bool moving = f.pan.direction || f.tilt.direction || f.zoom.direction ||
                        f.focus.direction || f.iris.direction;
    f.kind = moving ? FrameKind::kMove : FrameKind::kStop;
    return ok;
}

void Command(const uint8_t* b, DecodedFrame& f) {
    const uint8_t function = b[4];
    const uint8_t value = b[5];
    f.kind = FrameKind::kUnknown;
    switch (function & ~0x10) {
        case 0x04:
            f.kind = FrameKind::kPresetSet;
            f.preset = value | ((function & 0x10) ? 0x80 : 0);
            return;
        case 0x05:
            f.kind = FrameKind::kPresetGo;
            f.preset = value | ((function & 0x10) ? 0x80 : 0);
            return;
        default:
            break;
    }
    if (function != 1 && function != 2) {
        return;
    }
    switch (value) {
        case 0x04:
            f.kind = FrameKind::kAutoFocus;
            break;
        case 0x03:
            f.kind = FrameKind::kAutoIris;
            break;
        case 0x2B:
            f.kind = FrameKind::kAutoAgc;
            break;
        case 0x14:
            f.kind = FrameKind::kBacklight;
            break;
        case 0x1E:
            f.kind = FrameKind::kWhiteBalance;
            break;
        default:
            return;
    }
    f.arg = function == 2 ? 2 : 0;  // the drivers send 2 for argument 2 and 1 for any other
}

}  // namespace

DecodedFrame BoschDecoder::Interpret(const uint8_t* b, size_t size) {
    DecodedFrame f;
    f.protocol = Protocol::kBosch;
    f.raw.assign(b, b + size);
    f.address = Address(b);
    f.command = b[3];
    const size_t n = b[0] & 0x7F;
    if (b[3] == 0x05 && n == 7) {
        if (!Move(b, f)) {
            DecodedFrame bad = MakeMalformed(Malformed::kBadField, f.raw);
            bad.address = f.address;
            bad.command = f.command;
            return bad;
        }
    } else if (b[3] == 0x07 && n == 6) {
        Command(b, f);
    } else {
        f.kind = FrameKind::kUnknown;
    }
    return f;
}

void BoschDecoder::EmitGarbage(std::vector<DecodedFrame>& out) {
    if (!garbage_.empty()) {
        out.push_back(MakeMalformed(Malformed::kBadSync, std::move(garbage_)));
        garbage_.clear();
    }
}

void BoschDecoder::Start(uint8_t length_byte, std::vector<DecodedFrame>& out) {
    const size_t n = length_byte & 0x7F;
    if (n < kMinLength) {
        out.push_back(MakeMalformed(Malformed::kBadLength, {length_byte}));
        state_ = State::kIdle;
        return;
    }
    if (n > kMaxLength) {
        out.push_back(MakeMalformed(Malformed::kOverlong, {length_byte}));
        state_ = State::kIdle;
        return;
    }
    frame_[0] = length_byte;
    have_ = 1;
    need_ = n + 1;
    state_ = State::kBody;
}

void BoschDecoder::Step(uint8_t byte, std::vector<DecodedFrame>& out) {
    if (byte & 0x80) {
        EmitGarbage(out);
        if (state_ == State::kBody) {
            DecodedFrame cut =
                MakeMalformed(Malformed::kTruncated,
                              std::vector<uint8_t>(frame_.begin(), frame_.begin() + have_));
            if (have_ >= 3) {
                cut.address = Address(frame_.data());
            }
            out.push_back(std::move(cut));
            have_ = 0;
        }
        Start(byte, out);
        return;
    }
    if (state_ == State::kIdle) {
        garbage_.push_back(byte);
        if (garbage_.size() >= kMaxGarbage) {
            EmitGarbage(out);
        }
        return;
    }
    frame_[have_++] = byte;
    if (have_ < need_) {
        return;
    }
    const size_t n = need_ - 1;
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) {
        sum += frame_[i];
    }
    if ((sum & 0x7F) == frame_[n]) {
        out.push_back(Interpret(frame_.data(), need_));
    } else {
        // No byte inside can start a frame (none has bit 7), so nothing is decoded again.
        DecodedFrame bad = MakeMalformed(
            Malformed::kBadChecksum, std::vector<uint8_t>(frame_.begin(), frame_.begin() + need_));
        bad.address = Address(frame_.data());
        out.push_back(std::move(bad));
    }
    have_ = 0;
    need_ = 0;
    state_ = State::kIdle;
}

void BoschDecoder::Feed(const uint8_t* data, size_t size, std::vector<DecodedFrame>& out) {
    for (size_t i = 0; i < size; ++i) {
        Step(data[i], out);
    }
}

void BoschDecoder::Flush(std::vector<DecodedFrame>& out) {
    EmitGarbage(out);
    if (state_ == State::kBody && have_ > 0) {
        DecodedFrame cut = MakeMalformed(
            Malformed::kTruncated, std::vector<uint8_t>(frame_.begin(), frame_.begin() + have_));
        if (have_ >= 3) {
            cut.address = Address(frame_.data());
        }
        out.push_back(std::move(cut));
    }
    have_ = 0;
    need_ = 0;
    state_ = State::kIdle;
}

}  // namespace k47::sim
