// Names and text of decoded frames, and the speed scale mapped back to percent.
#include "sim/DecodedFrame.h"

#include <cstdio>

namespace k47::sim {

int Axis::Percent() const {
    if (direction == 0) {
        return 0;
    }
    if (full_scale <= 0) {
        return direction * 100;
    }
    // Drivers send speed = |v| * full_scale / 100 (integer division); the smallest |v| that
    // gives `speed` is ceil(speed * 100 / full_scale), at least 1.
    int m = (speed * 100 + full_scale - 1) / full_scale;
    if (m < 1) {
        m = 1;
    }
    if (m > 100) {
        m = 100;
    }
    return direction * m;
}

const char* ProtocolName(Protocol protocol) {
    switch (protocol) {
        case Protocol::kPelcoD:
            return "pelco-d";
        case Protocol::kPanasonic:
            return "panasonic";
        case Protocol::kBosch:
            return "bosch";
    }
    return "?";
}

const char* KindName(FrameKind kind) {
    switch (kind) {
        case FrameKind::kMove:
            return "move";
        case FrameKind::kStop:
            return "stop";
        case FrameKind::kPresetSet:
            return "preset-set";
        case FrameKind::kPresetClear:
            return "preset-clear";
        case FrameKind::kPresetGo:
            return "preset-go";
        case FrameKind::kAutoFocus:
            return "auto-focus";
        case FrameKind::kAutoIris:
            return "auto-iris";
        case FrameKind::kAutoAgc:
            return "agc";
        case FrameKind::kBacklight:
            return "backlight";
        case FrameKind::kWhiteBalance:
            return "white-balance";
        case FrameKind::kCameraOn:
            return "camera-on";
        case FrameKind::kManualScan:
            return "manual-scan";
        case FrameKind::kMenuOpen:
            return "menu-open";
        case FrameKind::kMenuClose:
            return "menu-close";
        case FrameKind::kMenuUp:
            return "menu-up";
        case FrameKind::kMenuDown:
            return "menu-down";
        case FrameKind::kMenuLeft:
            return "menu-left";
        case FrameKind::kMenuRight:
            return "menu-right";
        case FrameKind::kMenuSelect:
            return "menu-select";
        case FrameKind::kMenuSelect2:
            return "menu-select2";
        case FrameKind::kUnknown:
            return "unknown";
        case FrameKind::kMalformed:
            return "malformed";
    }
    return "?";
}

const char* MalformedName(Malformed error) {
    switch (error) {
        case Malformed::kNone:
            return "none";
        case Malformed::kBadChecksum:
            return "bad-checksum";
        case Malformed::kBadSync:
            return "bad-sync";
        case Malformed::kOverlong:
            return "overlong";
        case Malformed::kTruncated:
            return "truncated";
        case Malformed::kBadLength:
            return "bad-length";
        case Malformed::kBadField:
            return "bad-field";
        case Malformed::kStrayEnd:
            return "stray-end";
    }
    return "?";
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    char piece[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(piece, sizeof piece, "%02x", bytes[i]);
        if (i != 0) {
            text += ' ';
        }
        text += piece;
    }
    return text;
}

namespace {

void AppendAxis(std::string& text, const char* name, const Axis& axis) {
    if (axis.direction == 0) {
        return;
    }
    char piece[64];
    if (axis.full_scale > 0) {
        std::snprintf(piece, sizeof piece, " %s %c%d/%d (%+d)", name,
                      axis.direction > 0 ? '+' : '-', axis.speed, axis.full_scale, axis.Percent());
    } else {
        std::snprintf(piece, sizeof piece, " %s %c", name, axis.direction > 0 ? '+' : '-');
    }
    text += piece;
}

}  // namespace

std::string Describe(const DecodedFrame& frame) {
    std::string text = ProtocolName(frame.protocol);
    char piece[64];
    if (frame.address >= 0) {
        std::snprintf(piece, sizeof piece, " addr %d", frame.address);
        text += piece;
    }
    text += ' ';
    text += KindName(frame.kind);
    if (frame.kind == FrameKind::kMalformed) {
        text += ' ';
        text += MalformedName(frame.error);
    }
    AppendAxis(text, "pan", frame.pan);
    AppendAxis(text, "tilt", frame.tilt);
    AppendAxis(text, "zoom", frame.zoom);
    AppendAxis(text, "focus", frame.focus);
    AppendAxis(text, "iris", frame.iris);
    if (frame.preset >= 0) {
        std::snprintf(piece, sizeof piece, " preset %d", frame.preset);
        text += piece;
    }
    if (frame.arg >= 0) {
        std::snprintf(piece, sizeof piece, " arg %d", frame.arg);
        text += piece;
    }
    if (frame.kind == FrameKind::kUnknown && frame.command >= 0) {
        std::snprintf(piece, sizeof piece, " command 0x%02x", frame.command);
        text += piece;
    }
    if (frame.layout != 0) {
        std::snprintf(piece, sizeof piece, " layout %d", frame.layout);
        text += piece;
    }
    text += " [";
    text += HexBytes(frame.raw);
    text += ']';
    return text;
}

}  // namespace k47::sim
