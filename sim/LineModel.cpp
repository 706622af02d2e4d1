// The pacing of the simulator's line (LineModel.h).
#include "sim/LineModel.h"

namespace k47::sim {

namespace {

constexpr uint32_t kFallbackBaud = 9600;
constexpr __int128 kNanosPerSecond = 1000000000;

}  // namespace

CharacterFormat CharacterFormat::From(uint32_t baud, int data_bits, char parity, int stop_bits,
                                      uint32_t baud_override) {
    CharacterFormat f;
    f.baud = baud_override != 0 ? baud_override : baud;
    if (f.baud == 0) {
        f.baud = kFallbackBaud;
    }
    const int data = data_bits >= 5 && data_bits <= 8 ? data_bits : 8;
    const int parity_bits = parity == 'N' ? 0 : 1;
    // Two stop bits with five data bits are one and a half on the wire.
    const int stop_halves = stop_bits == 2 ? (data == 5 ? 3 : 4) : 2;
    f.half_bits = 2 * (1 + data + parity_bits) + stop_halves;
    return f;
}

SimTime CharacterFormat::Time() const {
    const __int128 denominator = 2 * __int128{baud};
    return SimTime((half_bits * kNanosPerSecond + denominator / 2) / denominator);
}

void LinePacer::Begin(SimTime now, const CharacterFormat& format) {
    busy_ = true;
    format_ = format;
    origin_ = now;
    taken_ = 0;
}

SimTime LinePacer::Arrival(uint64_t index) const {
    // The run's n-th character ends n character times after its start; rounded up, so a byte
    // never counts as arrived early.
    const __int128 n = __int128{taken_} + index + 1;
    const __int128 denominator = 2 * __int128{format_.baud};
    const __int128 nanos =
        (n * format_.half_bits * kNanosPerSecond + denominator - 1) / denominator;
    return origin_ + SimTime(static_cast<int64_t>(nanos));
}

uint64_t LinePacer::Arrived(SimTime now) const {
    if (!busy_ || now < origin_) {
        return 0;
    }
    const __int128 elapsed = (now - origin_).count();
    const __int128 ended =
        elapsed * 2 * format_.baud / (__int128{format_.half_bits} * kNanosPerSecond);
    return ended > __int128{taken_} ? static_cast<uint64_t>(ended - taken_) : 0;
}

void LinePacer::Took(uint64_t count) {
    taken_ += count;
}

}  // namespace k47::sim
