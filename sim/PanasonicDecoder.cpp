// Panasonic frame decoder (rules in PanasonicDecoder.h).
#include "sim/PanasonicDecoder.h"

#include <array>

namespace k47::sim {

namespace {

using std::string_view;

DecodedFrame MakeMalformed(Malformed error, std::vector<uint8_t> raw) {
    DecodedFrame f;
    f.protocol = Protocol::kPanasonic;
    f.kind = FrameKind::kMalformed;
    f.error = error;
    f.raw = std::move(raw);
    return f;
}

// Upper-case hexadecimal digit, -1 otherwise.
int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

char LengthChar(size_t n) {
    return static_cast<char>(n < 10 ? 0x30 + n : 0x37 + n);
}

struct Pair {
    char c;
    int first;
    int second;
};

// Pan/tilt direction characters (the stop character differs by layout and is handled apart).
constexpr std::array<Pair, 8> kPanTilt = {{
    {'B', 1, 1},
    {'C', 1, 0},
    {'D', 1, -1},
    {'A', 0, 1},
    {'E', 0, -1},
    {'9', -1, 1},
    {'8', -1, 0},
    {'F', -1, -1},
}};
// Zoom/focus direction characters of the second layout.
constexpr std::array<Pair, 9> kZoomFocus = {{
    {'9', 1, 1},
    {'8', 1, 0},
    {'F', 1, -1},
    {'A', 0, 1},
    {'4', 0, 0},
    {'E', 0, -1},
    {'B', -1, 1},
    {'C', -1, 0},
    {'D', -1, -1},
}};

bool Directions(char c, char stop, const Pair* table, size_t count, int* first, int* second) {
    if (stop != 0 && c == stop) {
        *first = 0;
        *second = 0;
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        if (table[i].c == c) {
            *first = table[i].first;
            *second = table[i].second;
            return true;
        }
    }
    return false;
}

// An axis from its direction and a speed; a speed on a still axis is no driver's.
bool SetAxis(int direction, int speed, int full_scale, Axis* axis) {
    axis->direction = direction;
    axis->speed = speed;
    axis->full_scale = full_scale;
    return speed >= 0 && speed <= full_scale && (direction != 0 || speed == 0);
}

int DecimalSpeed(char c) {
    return (c >= '0' && c <= '7') ? c - '0' : -1;
}

// First-layout lens digit: 8 = still, else direction bit 4 and speed 0..3.
bool LensDigit(char c, bool plus_when_4, Axis* axis) {
    int v = HexDigit(c);
    if (v < 0 || (v & 8 && v != 8)) {
        return false;
    }
    int direction = 0;
    if (v != 8) {
        direction = ((v & 4) != 0) == plus_when_4 ? 1 : -1;
    }
    return SetAxis(direction, v == 8 ? 0 : (v & 3), 3, axis);
}

bool Iris(char c, Axis* axis) {
    switch (c) {
        case '2':
            return SetAxis(1, 0, 0, axis);
        case '3':
            return SetAxis(-1, 0, 0, axis);
        case '4':
            return SetAxis(0, 0, 0, axis);
        default:
            return false;
    }
}

void FinishMove(DecodedFrame& f) {
    const bool moving = f.pan.direction || f.tilt.direction || f.zoom.direction ||
                        f.focus.direction || f.iris.direction;
    f.kind = moving ? FrameKind::kMove : FrameKind::kStop;
}

// Three groups: 902 z d p t : 903400 f : 002100 i.
bool MoveLayout1(const std::array<string_view, 5>& g, DecodedFrame& f) {
    int pan = 0;
    int tilt = 0;
    bool ok = LensDigit(g[0][3], false, &f.zoom) &&
              Directions(g[0][4], '1', kPanTilt.data(), kPanTilt.size(), &pan, &tilt) &&
              SetAxis(pan, HexDigit(g[0][5]), 15, &f.pan) &&
              SetAxis(tilt, HexDigit(g[0][6]), 15, &f.tilt) && LensDigit(g[1][6], true, &f.focus) &&
              Iris(g[2][6], &f.iris);
    f.layout = 1;
    FinishMove(f);
    return ok;
}

// Five groups: 202136 d : 2022 p t 0 : 202126 e : 2022 z f 0 : 002100 i.
bool MoveLayout2(const std::array<string_view, 5>& g, DecodedFrame& f) {
    int pan = 0;
    int tilt = 0;
    int zoom = 0;
    int focus = 0;
    bool ok = Directions(g[0][6], '4', kPanTilt.data(), kPanTilt.size(), &pan, &tilt) &&
              SetAxis(pan, DecimalSpeed(g[1][4]), 7, &f.pan) &&
              SetAxis(tilt, DecimalSpeed(g[1][5]), 7, &f.tilt) &&
              Directions(g[2][6], 0, kZoomFocus.data(), kZoomFocus.size(), &zoom, &focus) &&
              SetAxis(zoom, DecimalSpeed(g[3][4]), 7, &f.zoom) &&
              SetAxis(focus, DecimalSpeed(g[3][5]), 7, &f.focus) && Iris(g[4][6], &f.iris);
    f.layout = 2;
    FinishMove(f);
    return ok;
}

// A one-byte code of the preset-type commands.
void Code(int code, int layout, DecodedFrame& f) {
    f.layout = layout;
    switch (code) {
        case 0x57:
            f.kind = FrameKind::kAutoFocus;
            f.arg = 0;
            return;
        case 0x56:
            f.kind = FrameKind::kAutoFocus;
            f.arg = 1;
            return;
        case 0x55:
            f.kind = FrameKind::kAutoFocus;
            f.arg = 2;
            return;
        case 0xAE:
            f.kind = FrameKind::kAutoAgc;
            f.arg = 0;
            return;
        case 0xAF:
            f.kind = FrameKind::kAutoAgc;
            f.arg = 2;
            return;
        default:
            break;
    }
    if (code >= 100) {
        f.kind = FrameKind::kPresetSet;
        f.preset = code - 100;
    } else {
        f.kind = FrameKind::kPresetGo;
        f.preset = code;
    }
}

bool HexByte(string_view two, int* value) {
    int hi = HexDigit(two[0]);
    int lo = HexDigit(two[1]);
    if (hi < 0 || lo < 0) {
        return false;
    }
    *value = hi * 16 + lo;
    return true;
}

struct Group {
    const char* text;
    FrameKind kind;
    int arg;
};

constexpr std::array<Group, 14> kSingleGroups = {{
    {"0021005", FrameKind::kAutoIris, 0},
    {"0021034", FrameKind::kAutoIris, 2},
    {"00212A2", FrameKind::kBacklight, 1},
    {"00212A3", FrameKind::kBacklight, 0},
    {"0021042", FrameKind::kWhiteBalance, 1},
    {"0021041", FrameKind::kWhiteBalance, 0},
    {"0021941", FrameKind::kMenuClose, -1},
    {"0021940", FrameKind::kMenuOpen, -1},
    {"0021942", FrameKind::kMenuUp, -1},
    {"0021944", FrameKind::kMenuDown, -1},
    {"0021945", FrameKind::kMenuLeft, -1},
    {"0021943", FrameKind::kMenuRight, -1},
    {"002194A", FrameKind::kMenuSelect, -1},
    {"002194B", FrameKind::kMenuSelect2, -1},
}};

}  // namespace

DecodedFrame PanasonicDecoder::Interpret(const std::vector<uint8_t>& frame) {
    DecodedFrame f;
    f.protocol = Protocol::kPanasonic;
    f.raw = frame;
    auto malformed = [&](Malformed error) {
        DecodedFrame bad = MakeMalformed(error, frame);
        bad.address = f.address;
        return bad;
    };
    if (frame.size() < 2 || frame.front() != kStart || frame.back() != kEnd) {
        return malformed(Malformed::kBadField);
    }
    string_view text(reinterpret_cast<const char*>(frame.data()) + 1, frame.size() - 2);
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return malformed(Malformed::kBadField);
        }
    }
    if (text.starts_with("AD")) {
        if (text.size() < 5 || text[4] != ';' || text[2] < '0' || text[2] > '9' || text[3] < '0' ||
            text[3] > '9') {
            return malformed(Malformed::kBadField);
        }
        f.address = (text[2] - '0') * 10 + (text[3] - '0');
        text.remove_prefix(5);
    }
    constexpr string_view kPreamble = "RON:7;GC";
    if (!text.starts_with(kPreamble) || text.size() < kPreamble.size() + 2 ||
        text[kPreamble.size() + 1] != ':') {
        return malformed(Malformed::kBadField);
    }
    const char length = text[kPreamble.size()];
    string_view data = text.substr(kPreamble.size() + 2);
    if (length != LengthChar(data.size()) || data.size() % 8 != 7) {
        return malformed(Malformed::kBadLength);
    }
    const size_t count = (data.size() + 1) / 8;
    if (count > 5) {
        f.kind = FrameKind::kUnknown;
        return f;
    }
    std::array<string_view, 5> g{};
    for (size_t i = 0; i < count; ++i) {
        g[i] = data.substr(i * 8, 7);
        if ((i + 1 < count && data[i * 8 + 7] != ':') || g[i].find(':') != string_view::npos) {
            return malformed(Malformed::kBadField);
        }
    }
    bool ok = true;
    if (count == 3 && g[0].starts_with("902") && g[1].starts_with("903400") &&
        g[2].starts_with("002100")) {
        ok = MoveLayout1(g, f);
    } else if (count == 5 && g[0].starts_with("202136") && g[1].starts_with("2022") &&
               g[1][6] == '0' && g[2].starts_with("202126") && g[3].starts_with("2022") &&
               g[3][6] == '0' && g[4].starts_with("002100")) {
        ok = MoveLayout2(g, f);
    } else if (count == 1 && g[0].starts_with("90300")) {
        int code = 0;
        ok = HexByte(g[0].substr(5), &code);
        Code(code, 1, f);
    } else if (count == 2 && g[0] == "00219F0" && g[1].starts_with("0022") && g[1][6] == '0') {
        int code = 0;
        ok = HexByte(g[1].substr(4, 2), &code);
        Code(code, 2, f);
    } else if (count == 1) {
        f.kind = FrameKind::kUnknown;
        for (const Group& known : kSingleGroups) {
            if (g[0] == known.text) {
                f.kind = known.kind;
                f.arg = known.arg;
            }
        }
    } else {
        f.kind = FrameKind::kUnknown;
    }
    return ok ? f : malformed(Malformed::kBadField);
}

void PanasonicDecoder::EmitGarbage(std::vector<DecodedFrame>& out) {
    if (!garbage_.empty()) {
        out.push_back(MakeMalformed(Malformed::kBadSync, std::move(garbage_)));
        garbage_.clear();
    }
}

void PanasonicDecoder::Step(uint8_t byte, std::vector<DecodedFrame>& out) {
    switch (state_) {
        case State::kIdle:
            if (byte == kStart) {
                EmitGarbage(out);
                frame_.assign(1, byte);
                state_ = State::kBody;
            } else if (byte == kEnd) {
                EmitGarbage(out);
                out.push_back(MakeMalformed(Malformed::kStrayEnd, {byte}));
            } else {
                garbage_.push_back(byte);
                if (garbage_.size() >= kMaxGarbage) {
                    EmitGarbage(out);
                }
            }
            return;
        case State::kBody:
            if (byte == kStart) {
                out.push_back(MakeMalformed(Malformed::kTruncated, std::move(frame_)));
                frame_.assign(1, byte);
                return;
            }
            frame_.push_back(byte);
            if (byte == kEnd) {
                out.push_back(Interpret(frame_));
                frame_.clear();
                state_ = State::kIdle;
            } else if (frame_.size() >= kMaxFrame) {
                out.push_back(MakeMalformed(Malformed::kOverlong, std::move(frame_)));
                frame_.clear();
                state_ = State::kIdle;
            }
            return;
    }
}

void PanasonicDecoder::Feed(const uint8_t* data, size_t size, std::vector<DecodedFrame>& out) {
    for (size_t i = 0; i < size; ++i) {
        Step(data[i], out);
    }
}

void PanasonicDecoder::Flush(std::vector<DecodedFrame>& out) {
    EmitGarbage(out);
    if (!frame_.empty()) {
        out.push_back(MakeMalformed(Malformed::kTruncated, std::move(frame_)));
        frame_.clear();
    }
    state_ = State::kIdle;
}

}  // namespace k47::sim
