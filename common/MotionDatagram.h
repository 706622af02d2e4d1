// The remote-control datagram: exactly 14 bytes, every multi-byte field little-endian.
//   0 sequence (u16)  2 pan  4 tilt  6 zoom  8 focus  10 iris (s16 each)  12 flags  13 reserved
// Flag bit 0 ends the motion; the other bits and the reserved byte are not looked at.
// The one place that knows the layout: the camera's receiver, the remote client's sender, the
// tools and the tests all use it. Pure functions, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

struct K47MotionDatagram {
    static constexpr size_t kSize = 14;
    static constexpr uint8_t kEndOfMotion = 0x01;

    uint16_t sequence = 0;
    int16_t pan = 0;
    int16_t tilt = 0;
    int16_t zoom = 0;
    int16_t focus = 0;
    int16_t iris = 0;
    uint8_t flags = 0;
    uint8_t reserved = 0;

    bool EndOfMotion() const noexcept { return (flags & kEndOfMotion) != 0; }

    void Encode(uint8_t out[kSize]) const noexcept;
    // Nothing unless exactly kSize bytes are given.
    static std::optional<K47MotionDatagram> Decode(const uint8_t* bytes, size_t size) noexcept;
};

// The receiver's sequence rule on 16-bit signed values: newer when the sign bits differ or when
// the last accepted number is smaller.
inline bool K47SequenceIsNewer(int16_t last, int16_t received) noexcept {
    return ((last < 0) != (received < 0)) || last < received;
}

// What the camera's receiver does with one received datagram, decided from the session's state
// alone (pure, so it can be fuzzed):
//   - dropped unless the receive succeeded with exactly 14 bytes, or when a peer owns the session
//     and the sender is another;
//   - otherwise the sender owns the session (taking it over when nobody did) and the motion
//   time-out
//     is renewed, whatever the sequence number;
//   - then accepted only when the sequence is newer than the last accepted one.
struct K47DatagramVerdict {
    bool renew = false;          // take or keep ownership and re-arm the motion time-out
    bool takeOwnership = false;  // the sender becomes the peer
    bool accept = false;         // apply: last sequence := datagram.sequence, then move or end
    bool foreign = false;  // dropped: well formed, but a peer owns the session and it is another
    K47MotionDatagram datagram;
};

K47DatagramVerdict K47JudgeDatagram(bool received, const uint8_t* bytes, size_t size,
                                    bool peerEmpty, bool fromPeer, int16_t lastSequence) noexcept;
