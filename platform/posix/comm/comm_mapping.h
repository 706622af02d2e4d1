// Linux implementation file of the platform layer: may include Linux system headers.
// The pure half of the serial comm calls: DCB checks, DCB <-> termios, the modem-line plan,
// PurgeComm flags, and the COMMTIMEOUTS rules of ReadFile and WriteFile as step functions of
// elapsed time. Nothing here touches a descriptor or a clock, so every rule is table-tested.
//
// ReadFile time-outs (Windows meaning, all in ms; I = ReadIntervalTimeout, M =
// ReadTotalTimeoutMultiplier, C = ReadTotalTimeoutConstant, n = bytes asked for):
// - I = MAXDWORD, M = 0, C = 0: return at once with whatever is buffered, even nothing;
// - I = MAXDWORD, M = MAXDWORD, 0 < C < MAXDWORD: return at once with what is buffered; with
//   nothing buffered, wait up to C for the first byte and return as soon as any arrives;
// - otherwise the read ends when n bytes arrived, or M*n + C after the call began (when M or C
//   is not 0), or I after the last byte received (when 0 < I < MAXDWORD; the interval clock only
//   starts with the first byte). All zero: wait for all n bytes. MAXDWORD as I in other
//   combinations means "no interval time-out".
// A time-out is not an error: ReadFile returns TRUE with fewer bytes (0 possible). WriteFile has
// only the total limit, M*n + C of the write fields; both 0 = no limit.
//
// Thread-safe: stateless.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "winbase.h"
#include "winerror.h"

namespace k47::comm {

// ERROR_SUCCESS, ERROR_INVALID_PARAMETER for a combination Windows rejects (no baud rate, data
// bits outside 5..8, unknown parity or stop-bit code, 5 data bits with 2 stop bits, 6..8 data
// bits with 1.5, equal XON/XOFF characters with software flow control), or ERROR_NOT_SUPPORTED
// for what a Linux tty cannot do (DSR flow control and sensitivity, DTR handshake, NUL
// stripping, error-character replacement, abort on error, CTS output flow without RTS
// handshake or enable, since CRTSCTS drives RTS itself).
DWORD CheckDcb(const DCB& dcb) noexcept;

// The settings a port reports before anything was set, for the members termios cannot hold.
DCB DefaultDcb() noexcept;

// Raw byte path, as every Windows port is (fBinary): no echo, no line editing, no signals, no
// CR/LF or case mapping, no output processing, breaks ignored, reads satisfied by one byte
// (VMIN 1, VTIME 0: with O_NONBLOCK an empty queue then gives EAGAIN, so read() = 0 can only mean
// a hang-up). Speed, character size, parity, stop bits and flow control are kept.
void MakeRaw(termios* tio) noexcept;

// Raw mode plus the DCB's character size, parity (fParity -> INPCK, MARK/SPACE via CMSPAR), stop
// bits, CRTSCTS (fOutxCtsFlow or RTS_CONTROL_HANDSHAKE), XON/XOFF (IXON, IXOFF, VSTART, VSTOP),
// CREAD|CLOCAL and HUPCL (DTR drops when the port is closed). The speed is not touched (it goes
// through termios2). The DCB must have passed CheckDcb.
void ApplyDcb(const DCB& dcb, termios* tio) noexcept;

// The DCB of a port as found at open: the members termios holds (speed, size, parity, stop
// bits, fParity, CTS flow, XON/XOFF and their characters) from the port, everything else from
// `wanted` (DefaultDcb()). DCBlength is sizeof(DCB), fBinary is TRUE.
DCB DcbFromTermios(const termios& tio, uint32_t baud, const DCB& wanted) noexcept;

// How DTR and RTS are driven for a DCB.
enum class RtsPlan {
    kLow,        // RTS_CONTROL_DISABLE
    kHigh,       // RTS_CONTROL_ENABLE
    kHandshake,  // RTS_CONTROL_HANDSHAKE: the kernel drives it (CRTSCTS)
    kToggle,     // RTS_CONTROL_TOGGLE: high only while sending, low at rest
};
struct ModemPlan {
    bool dtr_high;
    RtsPlan rts;
};
ModemPlan PlanModemLines(const DCB& dcb) noexcept;

// The tcflush queue selector (TCIFLUSH, TCOFLUSH, TCIOFLUSH) for PurgeComm flags, -1 when no
// queue is to be cleared (only ABORT flags, which have nothing to cancel: no overlapped I/O
// exists here), nullopt for unknown bits.
std::optional<int> PurgeQueue(DWORD flags) noexcept;

// The read rules of the header comment, resolved for one call.
enum class ReadMode {
    kReturnBuffered,    // I = MAXDWORD, M = C = 0
    kWaitForFirstByte,  // I = MAXDWORD, M = MAXDWORD, 0 < C < MAXDWORD
    kTimed,             // the general rules
};
struct ReadPlan {
    ReadMode mode;
    std::optional<std::chrono::milliseconds> total;     // from the start of the call
    std::optional<std::chrono::milliseconds> interval;  // after each received byte
};
ReadPlan PlanRead(const COMMTIMEOUTS& timeouts, DWORD count) noexcept;

// The next move of a read loop that has `received` of `count` bytes: finished, or poll for at
// most poll_ms (-1 = no limit; 0 = only look). The loop also ends when a 0 ms poll finds nothing.
struct ReadStep {
    bool finished;
    int poll_ms;
};
ReadStep NextReadStep(const ReadPlan& plan, DWORD count, DWORD received,
                      std::chrono::nanoseconds since_start,
                      std::chrono::nanoseconds since_last_byte) noexcept;

// WriteFile's total limit for `count` bytes, nullopt for none.
std::optional<std::chrono::milliseconds> WriteLimit(const COMMTIMEOUTS& timeouts,
                                                    DWORD count) noexcept;

// Milliseconds left before `limit` for poll(): rounded up so a poll never ends before the limit,
// clamped to INT_MAX; nullopt once the limit is reached.
std::optional<int> PollMsLeft(std::chrono::nanoseconds limit,
                              std::chrono::nanoseconds elapsed) noexcept;

// The line time of `bytes` characters with the DCB's framing: one start bit, ByteSize data bits,
// a parity bit unless NOPARITY, and 1, 1.5 or 2 stop bits, at BaudRate (10 bits a character for
// 8N1: 7 bytes take 7.29 ms at 9600 Bd). A write is not done before this has passed: ptys and
// many USB adapters report their output drained while the bytes are still on their way.
std::chrono::nanoseconds LineTime(size_t bytes, const DCB& dcb) noexcept;

// Win32 error for an errno of the comm calls.
DWORD CommErrorFromErrno(int error) noexcept;

}  // namespace k47::comm
