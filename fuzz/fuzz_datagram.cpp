// Fuzzes the camera's datagram rules with arbitrary datagrams from arbitrary senders, and checks
// them against an independent model of the session: nothing but a well-formed (14-byte),
// in-sequence datagram from the session's owner is ever applied, and the owner changes only when
// nobody owns the session.
//
// Input: a series of records [sender: 1 byte][event: 1 byte][length: 1 byte][bytes...]. Sender
// picks one of 4 peers; an event byte with bit 7 set stands for the motion timer firing (which
// ends the session) instead of a datagram; bit 6 for a failed receive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/MotionDatagram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int owner = -1;  // no session owner
    int16_t last = 0;
    size_t i = 0;
    while (i + 3 <= size) {
        int sender = data[i] & 3;
        uint8_t event = data[i + 1];
        size_t length = data[i + 2];
        i += 3;
        if (event & 0x80) {  // the motion timer fired: ownership ends
            owner = -1;
            last = 0;
            continue;
        }
        if (length > size - i)
            length = size - i;
        const uint8_t* bytes = data + i;
        i += length;
        bool received = (event & 0x40) == 0;

        K47DatagramVerdict verdict =
            K47JudgeDatagram(received, bytes, length, owner < 0, sender == owner, last);
        // The model.
        bool wellFormed = received && length == K47MotionDatagram::kSize;
        bool fromOwner = owner < 0 || sender == owner;
        if (verdict.renew != (wellFormed && fromOwner))
            std::abort();
        if (verdict.takeOwnership && owner >= 0)
            std::abort();
        if (!verdict.renew) {
            if (verdict.accept)
                std::abort();
            continue;
        }
        // The sender's encoding of what the receiver decoded gives back the very bytes.
        uint8_t encoded[K47MotionDatagram::kSize];
        verdict.datagram.Encode(encoded);
        if (std::memcmp(encoded, bytes, K47MotionDatagram::kSize) != 0)
            std::abort();
        if (verdict.takeOwnership)
            owner = sender;
        uint16_t sequence = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
        int16_t s = static_cast<int16_t>(sequence);
        bool newer = ((last < 0) != (s < 0)) || last < s;
        if (verdict.accept != newer)
            std::abort();
        if (verdict.accept) {
            if (verdict.datagram.sequence != sequence)
                std::abort();
            if (verdict.datagram.EndOfMotion() != ((bytes[12] & 1) != 0))
                std::abort();
            last = s;
        }
    }
    return 0;
}
