// The one interface of the three protocol decoders: feed bytes as they come off the line, in
// any split (byte by byte included), and collect decoded frames in order. Every byte fed ends
// up in exactly one frame's `raw` (malformed runs included) or is still pending, so whatever a
// driver wrote can be accounted for. After a malformed frame the decoder resynchronises on the
// next plausible start byte. Each decoder is an explicit state machine with a hard cap on what
// it holds (Pending() never exceeds its kMax... constant), so arbitrary input can neither crash
// it nor make it grow.
//
// Threading: one decoder per line and thread; no shared state between decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/DecodedFrame.h"

namespace k47::sim {

class FrameDecoder {
  public:
    virtual ~FrameDecoder() = default;

    virtual Protocol protocol() const = 0;
    // Decodes `size` bytes; completed frames are appended to `out`.
    virtual void Feed(const uint8_t* data, size_t size, std::vector<DecodedFrame>& out) = 0;
    // The input ended (or the line went quiet): a partial frame is reported as truncated and
    // pending garbage as bad sync; the decoder then starts afresh.
    virtual void Flush(std::vector<DecodedFrame>& out) = 0;
    // Bytes held for an unfinished frame or an unreported run of garbage.
    virtual size_t Pending() const = 0;
};

std::unique_ptr<FrameDecoder> MakeDecoder(Protocol protocol);

// Feed + Flush on a fresh decoder.
std::vector<DecodedFrame> DecodeAll(Protocol protocol, const std::vector<uint8_t>& bytes);

}  // namespace k47::sim
