// Pelco-D frame bytes (layout in PelcoDFrame.h).
#include "drivers/PelcoDFrame.h"

#include <cstdlib>

namespace k47pelcod {

namespace {

constexpr uint8_t kSync = 0xFF;

}  // namespace

uint8_t Speed(int16_t value) {
    return static_cast<uint8_t>((std::abs(static_cast<int>(value)) * 63 / 100) & 0x3F);
}

Frame Encode(intptr_t address, uint8_t command1, uint8_t command2, uint8_t data1, uint8_t data2) {
    Frame frame = {kSync, static_cast<uint8_t>(address & 0xFF), command1, command2, data1, data2,
                   0};
    frame[6] = static_cast<uint8_t>(frame[1] + frame[2] + frame[3] + frame[4] + frame[5]);
    return frame;
}

Frame Move(intptr_t address, int16_t pan, int16_t tilt, int16_t zoom, int16_t focus, int16_t iris) {
    uint8_t command1 = 0;
    uint8_t command2 = 0;
    if (iris < 0)
        command1 = kIrisClose;
    if (iris > 0)
        command1 = kIrisOpen;
    if (focus < 0)
        command1 |= kFocusNear;
    if (focus > 0)
        command2 = kFocusFar;
    if (zoom < 0)
        command2 |= kZoomWide;
    if (zoom > 0)
        command2 |= kZoomTele;
    if (tilt < 0)
        command2 |= kTiltDown;
    if (tilt > 0)
        command2 |= kTiltUp;
    if (pan < 0)
        command2 |= kPanLeft;
    if (pan > 0)
        command2 |= kPanRight;
    return Encode(address, command1, command2, Speed(pan), Speed(tilt));
}

Frame Command(intptr_t address, uint8_t code, intptr_t arg) {
    return Encode(address, 0x00, code, 0x00, static_cast<uint8_t>(arg & 0xFF));
}

Frame CameraOn(intptr_t address) {
    return Encode(address, kCameraOn, 0x00, 0x00, 0x00);
}

Frame ManualScan(intptr_t address) {
    return Encode(address, kManualScan, 0x00, 0x00, 0x00);
}

}  // namespace k47pelcod
