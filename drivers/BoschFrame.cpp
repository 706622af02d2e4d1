// Bosch frame bytes (layout in BoschFrame.h).
#include "drivers/BoschFrame.h"

#include <cstdlib>

namespace k47bosch {

namespace {

constexpr uint8_t kMoveLength = 0x87;  // 7 bytes before the checksum
constexpr uint8_t kMoveOpcode = 0x05;
constexpr uint8_t kCommandLength = 0x86;  // 6 bytes before the checksum
constexpr uint8_t kCommandOpcode = 0x07;

int Magnitude(int16_t value) {
    return std::abs(static_cast<int>(value));
}

// Length byte, address code and opcode; the caller adds data and then the checksum.
Frame Head(uint8_t length, intptr_t address, uint8_t opcode) {
    auto code = static_cast<uint16_t>(address - 1);
    Frame frame;
    frame.bytes[0] = length;
    frame.bytes[1] = static_cast<uint8_t>((code >> 7) & 0x7F);
    frame.bytes[2] = static_cast<uint8_t>(code & 0x7F);
    frame.bytes[3] = opcode;
    frame.size = static_cast<size_t>(length & 0x7F) + 1;
    return frame;
}

void SetChecksum(Frame& frame) {
    size_t n = frame.bytes[0] & 0x7F;
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += frame.bytes[i];
    frame.bytes[n] = static_cast<uint8_t>(sum & 0x7F);
}

}  // namespace

Frame Move(intptr_t address, int16_t pan, int16_t tilt, int16_t zoom, int16_t focus, int16_t iris) {
    Frame frame = Head(kMoveLength, address, kMoveOpcode);
    // Zoom speed 0..7 in bits 4 to 6, tilt speed 0..15 in bits 0 to 3.
    frame.bytes[4] = static_cast<uint8_t>((((Magnitude(zoom) * 7 / 100) & 7) << 4) |
                                          ((Magnitude(tilt) * 15 / 100) & 0x0F));
    // Pan speed 0..15 in bits 3 to 6, then iris and focus near; focus and iris have no speed.
    auto data5 = static_cast<uint8_t>(((Magnitude(pan) * 15 / 100) & 0x0F) * 8);
    if (iris > 0)
        data5 |= 0x04;
    if (iris < 0)
        data5 |= 0x02;
    if (focus < 0)
        data5 |= 0x01;
    frame.bytes[5] = data5;
    uint8_t data6 = 0;
    if (focus > 0)
        data6 |= 0x40;
    if (zoom > 0)
        data6 |= 0x20;
    if (zoom < 0)
        data6 |= 0x10;
    if (tilt > 0)
        data6 |= 0x08;
    if (tilt < 0)
        data6 |= 0x04;
    if (pan > 0)
        data6 |= 0x01;
    if (pan < 0)
        data6 |= 0x02;
    frame.bytes[6] = data6;
    SetChecksum(frame);
    return frame;
}

std::optional<Frame> Command(intptr_t address, PTZCOMMAND cmd, intptr_t arg) {
    auto preset = static_cast<uint8_t>(arg & 0xFF);
    // The auto modes tell mode 2 apart from every other value.
    uint8_t mode = arg == 2 ? 2 : 1;
    uint8_t function = 0;
    uint8_t value = 0;
    switch (cmd) {
        case PTZCMD_SETPRESET:
            function = static_cast<uint8_t>(0x04 | (preset >= 0x80 ? 0x10 : 0));
            value = preset & 0x7F;
            break;
        case PTZCMD_GOTOPRESET:
            function = static_cast<uint8_t>(0x05 | (preset >= 0x80 ? 0x10 : 0));
            value = preset & 0x7F;
            break;
        case PTZCMD_AUTOFOCUS:
            function = mode;
            value = 0x04;
            break;
        case PTZCMD_AUTOIRIS:
            function = mode;
            value = 0x03;
            break;
        case PTZCMD_AUTOAGC:
            function = mode;
            value = 0x2B;
            break;
        case PTZCMD_BACKLIGHT:
            function = mode;
            value = 0x14;
            break;
        case PTZCMD_WHITEBAL:
            function = mode;
            value = 0x1E;
            break;
        default:
            return std::nullopt;  // Clear Preset and anything else
    }
    Frame frame = Head(kCommandLength, address, kCommandOpcode);
    frame.bytes[4] = function;
    frame.bytes[5] = value;
    SetChecksum(frame);
    return frame;
}

}  // namespace k47bosch
