// Panasonic frame text (layout in PanasonicFrame.h).
#include "drivers/PanasonicFrame.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace k47panasonic {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int Magnitude(int16_t value) {
    return std::abs(static_cast<int>(value));
}
int Sign(int16_t value) {
    return (value > 0) - (value < 0);
}

// The number of data characters, as one character: 0..9, then A..Z and on.
char LengthCharacter(int groups) {
    int n = groups * 7 + (groups - 1);
    return static_cast<char>(n < 10 ? 0x30 + n : 0x37 + n);
}

// First layout, pan and tilt: one hexadecimal digit 0..F.
char HexSpeed(int16_t value) {
    return kHexDigits[(Magnitude(value) * 15 / 100) & 0x0F];
}
// Second layout, pan, tilt, zoom and focus: a digit 0..7.
char DecimalSpeed(int16_t value) {
    return static_cast<char>('0' + ((Magnitude(value) * 7 / 100) & 7));
}
// First layout, zoom and focus: the direction value plus a speed 0..3 as one hexadecimal digit.
char LensDigit(int direction, int16_t value) {
    return kHexDigits[direction | ((Magnitude(value) * 3 / 100) & 3)];
}
char ZoomLensDigit(int16_t zoom) {
    return LensDigit(zoom > 0 ? 0 : zoom < 0 ? 4 : 8, zoom);
}
char FocusLensDigit(int16_t focus) {
    return LensDigit(focus > 0 ? 4 : focus < 0 ? 0 : 8, focus);
}

// Pan/tilt direction; the stop differs between the layouts.
char PanTiltCharacter(int16_t pan, int16_t tilt, bool firstLayout) {
    // Rows: pan > 0, pan = 0, pan < 0; columns: tilt > 0, tilt = 0, tilt < 0.
    static constexpr char kTable[3][3] = {{'B', 'C', 'D'}, {'A', '?', 'E'}, {'9', '8', 'F'}};
    int row = 1 - Sign(pan);
    int column = 1 - Sign(tilt);
    if (row == 1 && column == 1)
        return firstLayout ? '1' : '4';
    return kTable[row][column];
}

// Second layout, zoom/focus direction.
char ZoomFocusCharacter(int16_t zoom, int16_t focus) {
    // Rows: zoom > 0, zoom = 0, zoom < 0; columns: focus > 0, focus = 0, focus < 0.
    static constexpr char kTable[3][3] = {{'9', '8', 'F'}, {'A', '4', 'E'}, {'B', 'C', 'D'}};
    return kTable[1 - Sign(zoom)][1 - Sign(focus)];
}

char IrisCharacter(int16_t iris) {
    return iris > 0 ? '2' : iris < 0 ? '3' : '4';
}

std::string Hex2(int code) {
    return {kHexDigits[(code >> 4) & 0x0F], kHexDigits[code & 0x0F]};
}

// Start byte, address prefix, preamble and group head for `groups` groups.
std::string Header(const LineSettings& line, intptr_t address, int groups) {
    std::string header(1, kStart);
    if (line.addressed) {
        char digits[32];
        std::snprintf(digits, sizeof(digits), "%02lld", static_cast<long long>(address));
        header += "AD";
        header.append(digits, 2);  // a longer address keeps its first two characters
        header += ';';
    }
    header += "RON:7;GC";
    header += LengthCharacter(groups);
    header += ':';
    return header;
}

Encoded Made(std::string bytes) {
    return {Outcome::kFrame, std::move(bytes)};
}

}  // namespace

std::string Frame(const LineSettings& line, intptr_t address,
                  std::initializer_list<std::string> groups) {
    std::string frame = Header(line, address, static_cast<int>(groups.size()));
    bool first = true;
    for (const std::string& group : groups) {
        if (!first)
            frame += ':';
        frame += group;
        first = false;
    }
    frame += kEnd;
    return frame;
}

std::string Move(const LineSettings& line, intptr_t address, int16_t pan, int16_t tilt,
                 int16_t zoom, int16_t focus, int16_t iris) {
    if (line.firstLayout) {
        return Frame(line, address,
                     {std::string{'9', '0', '2', ZoomLensDigit(zoom),
                                  PanTiltCharacter(pan, tilt, true), HexSpeed(pan), HexSpeed(tilt)},
                      std::string("903400") + FocusLensDigit(focus),
                      std::string("002100") + IrisCharacter(iris)});
    }
    return Frame(line, address,
                 {std::string("202136") + PanTiltCharacter(pan, tilt, false),
                  std::string{'2', '0', '2', '2', DecimalSpeed(pan), DecimalSpeed(tilt), '0'},
                  std::string("202126") + ZoomFocusCharacter(zoom, focus),
                  std::string{'2', '0', '2', '2', DecimalSpeed(zoom), DecimalSpeed(focus), '0'},
                  std::string("002100") + IrisCharacter(iris)});
}

Encoded Command(const LineSettings& line, intptr_t address, PTZCOMMAND cmd, intptr_t arg) {
    // Preset-type commands carry a one-byte code; the picture commands a fixed group.
    intptr_t code = 0;
    const char* group = nullptr;
    switch (cmd) {
        case PTZCMD_SETPRESET:
            if (arg > 155)
                return {Outcome::kInvalid, {}};  // code above 255
            code = arg < -100 ? -1 : arg + 100;
            break;
        case PTZCMD_GOTOPRESET:
            if (arg > 255)
                return {Outcome::kInvalid, {}};
            code = arg;
            break;
        case PTZCMD_AUTOFOCUS:
            code = arg == 0 ? 0x57 : arg == 1 ? 0x56 : 0x55;
            break;
        case PTZCMD_AUTOAGC:
            code = (arg == 0 || arg == 1) ? 0xAE : 0xAF;
            break;
        case PTZCMD_AUTOIRIS:
            group = (arg == 0 || arg == 1) ? "0021005" : "0021034";
            break;
        case PTZCMD_BACKLIGHT:
            group = arg == 1 ? "00212A2" : "00212A3";
            break;
        case PTZCMD_WHITEBAL:
            group = arg == 1 ? "0021042" : "0021041";
            break;
        default:
            return {Outcome::kNoFrame, {}};  // Clear Preset and anything else
    }
    if (group != nullptr)
        return Made(Frame(line, address, {group}));
    // What the code frame degenerates to for a negative code: the end byte alone.
    if (code < 0)
        return Made(std::string(1, kEnd));
    if (line.firstLayout)
        return Made(Frame(line, address, {"90300" + Hex2(static_cast<int>(code))}));
    return Made(Frame(line, address, {"00219F0", "0022" + Hex2(static_cast<int>(code)) + "0"}));
}

Encoded Menu(const LineSettings& line, intptr_t address, PTZMENUCOMMAND cmd) {
    // Indexed by PTZMENUCOMMAND: close, open, up, down, left, right, select, select2.
    static constexpr char kCharacters[] = {'1', '0', '2', '4', '5', '3', 'A', 'B'};
    auto index = static_cast<uint32_t>(cmd);
    if (index >= std::size(kCharacters))
        return {Outcome::kInvalid, {}};
    return Made(Frame(line, address, {std::string("002194") + kCharacters[index]}));
}

}  // namespace k47panasonic
