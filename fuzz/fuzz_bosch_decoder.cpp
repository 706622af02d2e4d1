// Fuzz target of the Bosch frame decoder, the simulated camera it drives. Input:
// one byte choosing the split size, then line bytes (see decoder_fuzz.h).
#include "decoder_fuzz.h"
#include "sim/BoschDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return k47fuzz::FuzzDecoder(k47::sim::Protocol::kBosch, k47::sim::BoschDecoder::kMaxLength + 1,
                                data, size);
}
