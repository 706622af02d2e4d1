// Decoder factory.
#include "sim/FrameDecoder.h"

#include "sim/BoschDecoder.h"
#include "sim/PanasonicDecoder.h"
#include "sim/PelcoDDecoder.h"

namespace k47::sim {

std::unique_ptr<FrameDecoder> MakeDecoder(Protocol protocol) {
    switch (protocol) {
        case Protocol::kPelcoD:
            return std::make_unique<PelcoDDecoder>();
        case Protocol::kPanasonic:
            return std::make_unique<PanasonicDecoder>();
        case Protocol::kBosch:
            return std::make_unique<BoschDecoder>();
    }
    return nullptr;
}

std::vector<DecodedFrame> DecodeAll(Protocol protocol, const std::vector<uint8_t>& bytes) {
    std::unique_ptr<FrameDecoder> decoder = MakeDecoder(protocol);
    std::vector<DecodedFrame> frames;
    decoder->Feed(bytes.data(), bytes.size(), frames);
    decoder->Flush(frames);
    return frames;
}

}  // namespace k47::sim
