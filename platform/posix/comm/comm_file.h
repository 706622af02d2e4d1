// Linux implementation file of the platform layer: may include Linux system headers.
// The file object behind a CreateFileA handle on a serial device (or pseudo-terminal): the
// descriptor, the port's wanted DCB and COMMTIMEOUTS, and the synchronous I/O loops.
//
// Exclusivity: Windows opens a comm port for one handle only. Here the descriptor takes
// flock(LOCK_EX|LOCK_NB), which every process honours through this layer, root included, and
// TIOCEXCL, which makes the kernel refuse other opens of the tty (except for CAP_SYS_ADMIN). A
// second open fails with ERROR_ACCESS_DENIED, the code a Windows port in use reports.
//
// GetCommState reports the settings read from the port at open, then the DCB last set.
// Pseudo-terminals work as ports: modem-line and RS-485 ioctls answer ENOTTY there, and a pty
// forces 8 data bits without parity; such settings are skipped, not failed, and the kept DCB
// still reports what was set.
//
// When a write is done: as on Windows, a synchronous WriteFile returns once its bytes have left
// the wire, not when the kernel took them. That is when the kernel's output queue is empty
// (TIOCOUTQ) and the bytes' line time at the port's speed and framing has passed since the later
// of the call and the end of the previous write (ptys and USB adapters report "drained" early).
// A driver holding a lock across WriteFile thus holds it for the frame's line time. With write
// time-outs set (COMMTIMEOUTS) the whole wait is bounded: at the limit the bytes this call left in
// the kernel are flushed, never sent late, and the call succeeds with the count that went out, as
// a Windows write time-out does. Under RTS_CONTROL_TOGGLE without kernel RS-485 support, RTS is
// raised before the write and lowered at that same end.
//
// Threading: every member is thread-safe. One read and one write may run at the same time (the
// line is full duplex); further reads, or further writes, queue behind the running one, as
// synchronous I/O on one Windows handle does. Settings calls are atomic with respect to I/O
// snapshots. Lifetime: owned by the handle table through shared_ptr; CloseHandle wakes an I/O
// call still blocked on the port (it fails with ERROR_OPERATION_ABORTED instead of waiting
// forever), and the descriptor closes when the last reference goes.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "kernel/kobject.h"
#include "support/unique_fd.h"
#include "winbase.h"

namespace k47::comm {

class CommFile final : public kernel::KernelObject {
  public:
    // Opens `path` as a port; null with *error set on failure.
    static std::shared_ptr<CommFile> Open(const char* path, DWORD access, DWORD* error) noexcept;

    CommFile(support::UniqueFd fd, support::UniqueFd cancel, DWORD access, const DCB& dcb);
    ~CommFile() override;

    void OnHandleClosed() override;

    // Each returns ERROR_SUCCESS or the Win32 error to report.
    DWORD GetState(DCB* dcb) noexcept;
    DWORD SetState(const DCB& dcb) noexcept;
    DWORD GetTimeouts(COMMTIMEOUTS* timeouts) noexcept;
    DWORD SetTimeouts(const COMMTIMEOUTS& timeouts) noexcept;
    DWORD Purge(DWORD flags) noexcept;
    DWORD Read(void* buffer, DWORD count, DWORD* done) noexcept;
    DWORD Write(const void* buffer, DWORD count, DWORD* done) noexcept;
    DWORD Flush() noexcept;

  private:
    // How RTS follows transmission under RTS_CONTROL_TOGGLE.
    enum class Toggle {
        kNone,    // not toggling, or the device has no modem lines (pty)
        kKernel,  // RS-485 mode of the driver
        kManual,  // raised before each write, lowered after the line drained
    };

    using Clock = std::chrono::steady_clock;
    enum class Wait { kElapsed, kTimedOut, kCancelled };

    DWORD ApplyModemLines(const DCB& dcb);  // caller holds state_mutex_
    DWORD SetModemLine(int line, bool high);
    // Sleeps until `until` or until the handle is closed; precise to the kernel's timer slack.
    Wait Sleep(Clock::time_point until);
    // Until the kernel's output queue is empty and `line_end` has passed, or `deadline`.
    Wait WaitUntilSent(Clock::time_point line_end, std::optional<Clock::time_point> deadline,
                       const DCB& dcb);

    const support::UniqueFd fd_;
    const support::UniqueFd cancel_;  // eventfd: readable once the handle is closed
    const DWORD access_;

    std::mutex read_mutex_;
    std::mutex write_mutex_;            // also guards line_free_at_
    Clock::time_point line_free_at_{};  // when this handle's last write left the wire
    std::mutex state_mutex_;            // guards the members below; never held across blocking I/O
    DCB dcb_;
    COMMTIMEOUTS timeouts_{};
    Toggle toggle_ = Toggle::kNone;
    bool rs485_on_ = false;
    bool modem_lines_ = true;  // false after the device answered ENOTTY/EINVAL to a modem ioctl
};

}  // namespace k47::comm
