// Fuzz target of the Pelco-D frame decoder, the simulated camera it drives and its answers. Input:
// one byte choosing the split size, then line bytes (see decoder_fuzz.h).
#include "decoder_fuzz.h"
#include "sim/PelcoDDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return k47fuzz::FuzzDecoder(k47::sim::Protocol::kPelcoD, k47::sim::PelcoDDecoder::kMaxGarbage,
                                data, size);
}
