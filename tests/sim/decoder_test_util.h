// Helpers for the decoder tests: run a decoder over a byte stream whole, byte by byte and at
// random split points, check that every way yields the same frames and that every byte lands in
// exactly one frame's raw bytes, and build frames from text or with their checksums.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string_view>
#include <vector>

#include "sim/FrameDecoder.h"

namespace k47::sim {

// Readable failure messages for frames.
inline void PrintTo(const DecodedFrame& frame, std::ostream* os) {
    *os << Describe(frame) << " error=" << MalformedName(frame.error);
}

}  // namespace k47::sim

namespace k47test {

using Bytes = std::vector<uint8_t>;

// Decodes `bytes` with a fresh decoder fed in pieces of the given sizes (cycled), then flushed.
inline std::vector<k47::sim::DecodedFrame> DecodeInPieces(k47::sim::Protocol protocol,
                                                          const Bytes& bytes,
                                                          const std::vector<size_t>& pieces) {
    auto decoder = k47::sim::MakeDecoder(protocol);
    std::vector<k47::sim::DecodedFrame> frames;
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        size_t n = std::min(pieces[i % pieces.size()], bytes.size() - at);
        decoder->Feed(bytes.data() + at, n, frames);
        at += n;
    }
    decoder->Flush(frames);
    EXPECT_EQ(decoder->Pending(), 0u) << "Flush leaves nothing behind";
    return frames;
}

// Whole, byte by byte, and at random split points: the same frames every way, and the raw
// bytes of the frames, in order, are exactly the input.
inline std::vector<k47::sim::DecodedFrame> DecodeEveryWay(k47::sim::Protocol protocol,
                                                          const Bytes& bytes, uint32_t seed = 7) {
    std::vector<k47::sim::DecodedFrame> whole =
        DecodeInPieces(protocol, bytes, {bytes.size() ? bytes.size() : 1});
    EXPECT_EQ(DecodeInPieces(protocol, bytes, {1}), whole) << "byte by byte differs";
    std::mt19937 rng(seed);
    for (int round = 0; round < 5; ++round) {
        std::vector<size_t> pieces;
        for (int i = 0; i < 16; ++i) {
            pieces.push_back(1 + rng() % 9);
        }
        EXPECT_EQ(DecodeInPieces(protocol, bytes, pieces), whole) << "random split differs";
    }
    Bytes joined;
    for (const auto& f : whole) {
        EXPECT_FALSE(f.raw.empty());
        joined.insert(joined.end(), f.raw.begin(), f.raw.end());
    }
    EXPECT_EQ(joined, bytes) << "every byte belongs to exactly one frame";
    return whole;
}

// 0x02 text 0x03. (Built in one pass: g++ 12 warns falsely about inserts into a one-byte vector.)
inline Bytes Stx(std::string_view text) {
    Bytes b(text.size() + 2);
    b.front() = 0x02;
    std::copy(text.begin(), text.end(), b.begin() + 1);
    b.back() = 0x03;
    return b;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// Pelco-D frame with its checksum (sum of bytes 1..5 modulo 256).
inline Bytes Pelco(uint8_t address, uint8_t cmd1, uint8_t cmd2, uint8_t data1, uint8_t data2) {
    return {0xFF,
            address,
            cmd1,
            cmd2,
            data1,
            data2,
            static_cast<uint8_t>((address + cmd1 + cmd2 + data1 + data2) & 0xFF)};
}

// Bosch frame: the length byte from the count, the address code, opcode, data and the 7-bit
// checksum of everything before it.
inline Bytes Bosch(int address, uint8_t opcode, const Bytes& data) {
    const unsigned code = static_cast<unsigned>(address - 1) & 0xFFFF;
    Bytes b(4 + data.size() + 1);
    b[0] = static_cast<uint8_t>(0x80 | (4 + data.size()));
    b[1] = static_cast<uint8_t>((code >> 7) & 0x7F);
    b[2] = static_cast<uint8_t>(code & 0x7F);
    b[3] = opcode;
    std::copy(data.begin(), data.end(), b.begin() + 4);
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < b.size(); ++i) {
        sum += b[i];
    }
    b.back() = static_cast<uint8_t>(sum & 0x7F);
    return b;
}

}  // namespace k47test
