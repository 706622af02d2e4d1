// Linux implementation file of the platform layer: may include Linux system headers.
// The two serial settings that need the kernel's own structures: the line speed through
// termios2/BOTHER (any rate, not only the B* constants) and the RS-485 direction control.
// They live in their own translation unit because <asm/termbits.h> cannot be included together
// with <termios.h>; this header includes neither.
//
// Every function returns 0 or an errno value and keeps no state; thread-safe as far as the
// descriptor is.
#pragma once

#include <cstdint>

namespace k47::comm {

// Sets input and output speed to `baud` (BOTHER), leaving every other termios flag as it is.
int SetLineSpeed(int fd, uint32_t baud) noexcept;
// The output speed the line really has (TCGETS2: glibc's cfgetospeed only reports BOTHER).
int GetLineSpeed(int fd, uint32_t* baud) noexcept;

// Asks the driver for RS-485 mode with RTS raised while sending and lowered after. The serial
// core trims the flags to what the driver supports, so they are read back: *active is true only
// if both came back set. Drivers without RS-485 return ENOTTY (or EINVAL on older kernels).
int EnableRs485RtsOnSend(int fd, bool* active) noexcept;
// Leaves RS-485 mode (used when RTS_CONTROL_TOGGLE is replaced by another RTS mode).
int DisableRs485(int fd) noexcept;

}  // namespace k47::comm
