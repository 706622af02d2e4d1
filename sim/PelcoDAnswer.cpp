// Answers of a simulated Pelco-D camera (content in PelcoDAnswer.h).
#include "sim/PelcoDAnswer.h"

#include <cmath>
#include <cstring>

#include "drivers/PelcoDFrame.h"

namespace k47::sim {

namespace {

void AppendChecksum(std::vector<uint8_t>& answer) {
    unsigned sum = 0;
    for (size_t i = 1; i < answer.size(); ++i) {
        sum += answer[i];
    }
    answer.push_back(static_cast<uint8_t>(sum & 0xFF));
}

uint16_t Position(uint8_t command2, const CameraState& state) {
    switch (command2) {
        case 0x51: {
            long v = std::lround(state.pan_deg * 100.0);
            return static_cast<uint16_t>(v >= 36000 ? v - 36000 : v);
        }
        case 0x53:
            return static_cast<uint16_t>(static_cast<int16_t>(std::lround(state.tilt_deg * 100.0)));
        case 0x55:
            return static_cast<uint16_t>(std::lround(state.zoom * 65535.0));
        default:
            return static_cast<uint16_t>(std::lround(state.focus * 65535.0));
    }
}

}  // namespace

std::vector<uint8_t> PelcoDAnswer(const DecodedFrame& frame, const CameraState& state) {
    if (frame.kind == FrameKind::kMalformed || frame.protocol != Protocol::kPelcoD ||
        frame.raw.size() != 7 || frame.address < 0) {
        return {};
    }
    const uint8_t address = static_cast<uint8_t>(frame.address);
    const uint8_t command2 = frame.raw[3];
    std::vector<uint8_t> answer = {0xFF, address};
    switch (k47pelcod::AnswerLength(command2)) {
        case 18: {
            static const char kText[] = "K47 SIMULATOR  ";
            static_assert(sizeof kText - 1 == 15);
            answer.insert(answer.end(), kText, kText + 15);
            break;
        }
        case 7: {
            const uint16_t value = Position(command2, state);
            answer.push_back(0x00);
            answer.push_back(static_cast<uint8_t>(command2 + 8));
            answer.push_back(static_cast<uint8_t>(value >> 8));
            answer.push_back(static_cast<uint8_t>(value & 0xFF));
            break;
        }
        default:
            answer.push_back(0x00);
            break;
    }
    AppendChecksum(answer);
    return answer;
}

}  // namespace k47::sim
