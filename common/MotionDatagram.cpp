// Encoding and decoding of the remote-control datagram.
#include "common/MotionDatagram.h"

namespace {

void Put16(uint8_t* out, uint16_t value) noexcept {
    out[0] = static_cast<uint8_t>(value & 0xFF);
    out[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t Get16(const uint8_t* in) noexcept {
    return static_cast<uint16_t>(in[0] | (in[1] << 8));
}

}  // namespace

void K47MotionDatagram::Encode(uint8_t out[kSize]) const noexcept {
    Put16(out + 0, sequence);
    Put16(out + 2, static_cast<uint16_t>(pan));
    Put16(out + 4, static_cast<uint16_t>(tilt));
    Put16(out + 6, static_cast<uint16_t>(zoom));
    Put16(out + 8, static_cast<uint16_t>(focus));
    Put16(out + 10, static_cast<uint16_t>(iris));
    out[12] = flags;
    out[13] = reserved;
}

std::optional<K47MotionDatagram> K47MotionDatagram::Decode(const uint8_t* bytes,
                                                           size_t size) noexcept {
    if (bytes == nullptr || size != kSize)
        return std::nullopt;
    K47MotionDatagram datagram;
    datagram.sequence = Get16(bytes + 0);
    datagram.pan = static_cast<int16_t>(Get16(bytes + 2));
    datagram.tilt = static_cast<int16_t>(Get16(bytes + 4));
    datagram.zoom = static_cast<int16_t>(Get16(bytes + 6));
    datagram.focus = static_cast<int16_t>(Get16(bytes + 8));
    datagram.iris = static_cast<int16_t>(Get16(bytes + 10));
    datagram.flags = bytes[12];
    datagram.reserved = bytes[13];
    return datagram;
}

K47DatagramVerdict K47JudgeDatagram(bool received, const uint8_t* bytes, size_t size,
                                    bool peerEmpty, bool fromPeer, int16_t lastSequence) noexcept {
    K47DatagramVerdict verdict;
    if (!received)
        return verdict;
    std::optional<K47MotionDatagram> datagram = K47MotionDatagram::Decode(bytes, size);
    if (!datagram)
        return verdict;
    if (!peerEmpty && !fromPeer) {
        verdict.foreign = true;
        return verdict;
    }
    verdict.renew = true;
    verdict.takeOwnership = peerEmpty;
    verdict.datagram = *datagram;
    verdict.accept = K47SequenceIsNewer(lastSequence, static_cast<int16_t>(datagram->sequence));
    return verdict;
}
