// When bytes handed to a serial line reach its far end: the pacing of a simulated line (ptzsim
// plays it on a pseudo-terminal).
//
// A character on the wire is a start bit, the data bits, a parity bit when parity is on and the
// stop bits (1.5 with 5 data bits and two stop bits set), at the line's rate; 10 bits for 8N1.
// (A pty keeps 8 data bits and no parity whatever its user sets; the rate and stop bits it keeps.)
// LinePacer plays one line: when bytes wait on an idle line at time `now`, the first one's last
// bit arrives one character time later, and the bytes behind it follow back to back, one
// character time apart, for as long as bytes keep waiting. The owner takes a byte off the line
// only once it has arrived, so what a writer hands over faster than the line carries it stays
// queued in the kernel, as on a real line.
//
// Times are the caller's (SimTime from any fixed start); arrival times are exact multiples of the
// character time from the start of a run of back-to-back bytes, whenever the caller looks.
//
// Plain value types, no I/O, no clock; one thread at a time.
#pragma once

#include <cstdint>

#include "sim/SimulatedCamera.h"

namespace k47::sim {

// The shape of one character on the wire at a rate.
struct CharacterFormat {
    uint32_t baud = 9600;
    int half_bits = 20;  // bits per character, doubled (1.5 stop bits exist)

    // From a line's settings: its rate, data bits (5..8; anything else counts as 8), parity
    // ('N' for none, any other letter adds a bit) and stop bits (2, or anything else for 1);
    // `baud_override` (when not 0) replaces the settings' rate, and a rate of 0 (unset, or the
    // hang-up speed) counts as 9600.
    static CharacterFormat From(uint32_t baud, int data_bits, char parity, int stop_bits,
                                uint32_t baud_override);
    // A character's time on the wire, rounded to the nanosecond (for reports; the pacing itself
    // does not round).
    SimTime Time() const;
    bool operator==(const CharacterFormat&) const = default;
};

class LinePacer {
  public:
    // True while a run of bytes is on its way (Begin was called and bytes still wait).
    bool busy() const { return busy_; }
    const CharacterFormat& format() const { return format_; }

    // Bytes wait on the idle line at `now`; they go at `format` until the line is idle again.
    void Begin(SimTime now, const CharacterFormat& format);
    // When the byte `index` places behind the next one has arrived (index 0: the next byte).
    SimTime Arrival(uint64_t index = 0) const;
    // How many of the waiting bytes have arrived by `now`.
    uint64_t Arrived(SimTime now) const;
    // `count` bytes that had arrived were taken off the line.
    void Took(uint64_t count);
    // The line stops (nothing waits, or it was stalled): the next bytes start a new run.
    void Idle() { busy_ = false; }

  private:
    bool busy_ = false;
    CharacterFormat format_;
    SimTime origin_{0};   // when the run began
    uint64_t taken_ = 0;  // bytes of the run already taken
};

}  // namespace k47::sim
