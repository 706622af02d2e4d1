// Linux implementation file of the platform layer: may include Linux system headers.
// Serial port file object: open, settings and the synchronous I/O loops (see comm_file.h; the
// time-out rules are in comm_mapping.h).
#include "comm/comm_file.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <new>
#include <string>

#include "comm/comm_kernel.h"
#include "comm/comm_mapping.h"
#include "comm/comm_sys.h"
#include "support/boundary.h"
#include "support/eintr.h"

namespace k47::comm {

namespace {

using Clock = std::chrono::steady_clock;
using comm::CommErrorFromErrno;
using comm::CommSyscalls;

int RetryIoctl(int fd, unsigned long request, void* arg) {
    return support::RetryOnEintr([&] { return ioctl(fd, request, arg); }) == 0 ? 0 : errno;
}

bool NoModemLines(int error) {
    // ptys and some USB bridges have no modem lines; older kernels say EINVAL
    return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP;
}

int GetTermios(int fd, termios* tio) {
    return tcgetattr(fd, tio) == 0 ? 0 : errno;
}

int SetTermios(int fd, const termios& tio) {
    return support::RetryOnEintr([&] { return tcsetattr(fd, TCSANOW, &tio); }) == 0 ? 0 : errno;
}

// glibc's tcsetattr reports EINVAL when the kernel kept other settings than asked. A pty always
// forces 8 data bits without parity; that is a setting the line cannot take, skipped like the
// modem lines. Anything else refused is a real error.
bool OnlyFramingRefused(int fd, const termios& wanted) {
    termios now{};
    if (tcgetattr(fd, &now) != 0) {
        return false;
    }
    const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR;
    return now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
           now.c_lflag == wanted.c_lflag && (now.c_cflag & ~framing) == (wanted.c_cflag & ~framing);
}

// Result of one poll() of the port and the cancel descriptor.
enum class Ready { kTimeout, kReady, kCancelled, kHungUp, kInterrupted, kFailed };

Ready PollPort(int fd, short events, int cancel_fd, int timeout_ms, int* error) {
    pollfd fds[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
    int r = CommSyscalls().poll(fds, 2, timeout_ms);
    if (r < 0) {
        *error = errno;
        return errno == EINTR ? Ready::kInterrupted : Ready::kFailed;
    }
    if (fds[1].revents != 0) {
        return Ready::kCancelled;
    }
    // A hung-up tty (peer gone, device unplugged) shows POLLHUP/POLLERR, often with POLLIN;
    // its queued bytes are gone, so it is an error even when POLLIN is set.
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        return Ready::kHungUp;
    }
    if (fds[0].revents & events) {
        return Ready::kReady;
    }
    return Ready::kTimeout;
}

// Windows tells a missing file (ERROR_FILE_NOT_FOUND) from a missing folder on the way
// (ERROR_PATH_NOT_FOUND); ENOENT covers both.
DWORD MissingPathError(const char* path) {
    std::string folder(path);
    size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) {
        return ERROR_FILE_NOT_FOUND;
    }
    folder.resize(slash == 0 ? 1 : slash);
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::shared_ptr<CommFile> CommFile::Open(const char* path, DWORD access, DWORD* error) noexcept {
    support::UniqueFd fd(
        comm::CommSyscalls().open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        *error = errno == ENOENT ? MissingPathError(path) : CommErrorFromErrno(errno);
        return nullptr;
    }
    termios tio{};
    if (int e = GetTermios(fd.get(), &tio)) {
        // Only terminals are ports; files and other devices are not served by this layer.
        *error = e == ENOTTY ? ERROR_NOT_SUPPORTED : CommErrorFromErrno(e);
        return nullptr;
    }
    // Exclusive like a Windows port: the advisory lock stops every user of this layer (root
    // too); TIOCEXCL also stops other programs, except privileged ones.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        *error = CommErrorFromErrno(errno);
        return nullptr;
    }
    RetryIoctl(fd.get(), TIOCEXCL, nullptr);  // best effort: the flock already decides for us

    uint32_t baud = 0;
    if (int e = comm::GetLineSpeed(fd.get(), &baud)) {
        *error = CommErrorFromErrno(e);
        return nullptr;
    }
    DCB dcb = comm::DcbFromTermios(tio, baud, comm::DefaultDcb());
    // Windows ports only move raw bytes; a fresh tty would echo and translate line ends.
    comm::MakeRaw(&tio);
    if (int e = SetTermios(fd.get(), tio)) {
        *error = CommErrorFromErrno(e);
        return nullptr;
    }
    support::UniqueFd cancel(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!cancel) {
        *error = CommErrorFromErrno(errno);
        return nullptr;
    }
    auto fail = [error](DWORD code) {
        return [error, code] {
            *error = code;
            return nullptr;
        };
    };
    return support::Boundary(fail(ERROR_NOT_ENOUGH_MEMORY), fail(ERROR_INTERNAL_ERROR), [&] {
        return std::make_shared<CommFile>(std::move(fd), std::move(cancel), access, dcb);
    });
}

CommFile::CommFile(support::UniqueFd fd, support::UniqueFd cancel, DWORD access, const DCB& dcb)
    : fd_(std::move(fd)), cancel_(std::move(cancel)), access_(access), dcb_(dcb) {}

CommFile::~CommFile() {
    // TIOCEXCL stays on the tty until its last close; the pty's other end may keep it open, so
    // drop it explicitly or the next open would fail for unprivileged users.
    ioctl(fd_.get(), TIOCNXCL);
    if (rs485_on_) {
        comm::DisableRs485(fd_.get());
    }
}

void CommFile::OnHandleClosed() {
    eventfd_write(cancel_.get(), 1);
}

DWORD CommFile::GetState(DCB* out) noexcept {
    // The port must still be there (a hung-up line fails), but what is reported is the DCB last
    // set, as Windows does: a pty keeps neither modem lines nor framing other than 8N.
    termios tio{};
    if (int e = GetTermios(fd_.get(), &tio)) {
        return CommErrorFromErrno(e);
    }
    std::lock_guard<std::mutex> guard(state_mutex_);
    *out = dcb_;
    out->DCBlength = sizeof(DCB);
    return ERROR_SUCCESS;
}

DWORD CommFile::SetState(const DCB& wanted) noexcept {
    if (DWORD e = comm::CheckDcb(wanted)) {
        return e;
    }
    std::lock_guard<std::mutex> guard(state_mutex_);
    termios tio{};
    if (int e = GetTermios(fd_.get(), &tio)) {
        return CommErrorFromErrno(e);
    }
    comm::ApplyDcb(wanted, &tio);
    if (int e = SetTermios(fd_.get(), tio)) {
        if (e != EINVAL || !OnlyFramingRefused(fd_.get(), tio)) {
            return CommErrorFromErrno(e);
        }
    }
    if (int e = comm::SetLineSpeed(fd_.get(), wanted.BaudRate)) {
        return e == EINVAL ? ERROR_INVALID_PARAMETER : CommErrorFromErrno(e);
    }
    if (DWORD e = ApplyModemLines(wanted)) {
        return e;
    }
    dcb_ = wanted;
    dcb_.fBinary = 1;  // Windows has no other mode
    return ERROR_SUCCESS;
}

DWORD CommFile::SetModemLine(int line, bool high) {
    if (!modem_lines_) {
        return ERROR_SUCCESS;
    }
    int bits = line;
    int e = RetryIoctl(fd_.get(), high ? TIOCMBIS : TIOCMBIC, &bits);
    if (e == 0) {
        return ERROR_SUCCESS;
    }
    if (NoModemLines(e)) {
        modem_lines_ = false;  // skipped from now on, as a port without these lines needs
        return ERROR_SUCCESS;
    }
    return CommErrorFromErrno(e);
}

DWORD CommFile::ApplyModemLines(const DCB& dcb) {
    comm::ModemPlan plan = comm::PlanModemLines(dcb);
    if (DWORD e = SetModemLine(TIOCM_DTR, plan.dtr_high)) {
        return e;
    }
    Toggle toggle = Toggle::kNone;
    if (plan.rts == comm::RtsPlan::kToggle) {
        bool active = false;
        int e = comm::EnableRs485RtsOnSend(fd_.get(), &active);
        if (e != 0 && !NoModemLines(e)) {
            return CommErrorFromErrno(e);
        }
        if (active) {
            rs485_on_ = true;
            toggle = Toggle::kKernel;
        } else {
            // No RS-485 in the driver: RTS rests low and each write raises it.
            if (DWORD le = SetModemLine(TIOCM_RTS, false)) {
                return le;
            }
            toggle = modem_lines_ ? Toggle::kManual : Toggle::kNone;
        }
    } else {
        if (rs485_on_) {
            int e = comm::DisableRs485(fd_.get());
            if (e != 0 && !NoModemLines(e)) {
                return CommErrorFromErrno(e);
            }
            rs485_on_ = false;
        }
        if (plan.rts != comm::RtsPlan::kHandshake) {
            if (DWORD e2 = SetModemLine(TIOCM_RTS, plan.rts == comm::RtsPlan::kHigh)) {
                return e2;
            }
        }
    }
    toggle_ = toggle;
    return ERROR_SUCCESS;
}

DWORD CommFile::GetTimeouts(COMMTIMEOUTS* out) noexcept {
    std::lock_guard<std::mutex> guard(state_mutex_);
    *out = timeouts_;
    return ERROR_SUCCESS;
}

DWORD CommFile::SetTimeouts(const COMMTIMEOUTS& timeouts) noexcept {
    std::lock_guard<std::mutex> guard(state_mutex_);
    timeouts_ = timeouts;
    return ERROR_SUCCESS;
}

DWORD CommFile::Purge(DWORD flags) noexcept {
    std::optional<int> queue = comm::PurgeQueue(flags);
    if (!queue) {
        return ERROR_INVALID_PARAMETER;
    }
    // PURGE_RXABORT/TXABORT: I/O here is synchronous, so there is no pending overlapped
    // operation for them to end.
    if (*queue < 0) {
        return ERROR_SUCCESS;
    }
    if (tcflush(fd_.get(), *queue) != 0) {
        return CommErrorFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

DWORD CommFile::Read(void* buffer, DWORD count, DWORD* done) noexcept {
    *done = 0;
    if (!(access_ & GENERIC_READ)) {
        return ERROR_ACCESS_DENIED;
    }
    if (count == 0) {
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> serial(read_mutex_);
    COMMTIMEOUTS timeouts;
    {
        std::lock_guard<std::mutex> guard(state_mutex_);
        timeouts = timeouts_;
    }
    const comm::ReadPlan plan = comm::PlanRead(timeouts, count);
    auto* bytes = static_cast<unsigned char*>(buffer);
    const Clock::time_point start = Clock::now();
    Clock::time_point last_byte = start;
    for (;;) {
        const Clock::time_point now = Clock::now();
        comm::ReadStep step = comm::NextReadStep(plan, count, *done, now - start, now - last_byte);
        if (step.finished) {
            return ERROR_SUCCESS;
        }
        int error = 0;
        switch (PollPort(fd_.get(), POLLIN, cancel_.get(), step.poll_ms, &error)) {
            case Ready::kInterrupted:
                continue;  // the next step recomputes what is left of the time-outs
            case Ready::kFailed:
                return CommErrorFromErrno(error);
            case Ready::kCancelled:
                return ERROR_OPERATION_ABORTED;
            case Ready::kHungUp:
                return ERROR_DEVICE_NOT_CONNECTED;
            case Ready::kTimeout:
                if (step.poll_ms == 0) {
                    return ERROR_SUCCESS;  // only looking, and nothing is there
                }
                continue;
            case Ready::kReady:
                break;
        }
        ssize_t n = CommSyscalls().read(fd_.get(), bytes + *done, count - *done);
        if (n > 0) {
            *done += static_cast<DWORD>(n);
            last_byte = Clock::now();
            continue;
        }
        if (n == 0) {
            return ERROR_DEVICE_NOT_CONNECTED;  // VMIN 1 + O_NONBLOCK: 0 only after a hang-up
        }
        if (errno == EINTR || errno == EAGAIN) {
            continue;
        }
        return CommErrorFromErrno(errno);
    }
}

CommFile::Wait CommFile::Sleep(Clock::time_point until) {
    const Clock::duration left = until - Clock::now();
    if (left <= Clock::duration::zero()) {
        return Wait::kElapsed;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd cancel{cancel_.get(), POLLIN, 0};
    int r = CommSyscalls().ppoll(&cancel, 1, &timeout, nullptr);
    if (r > 0) {
        return Wait::kCancelled;
    }
    return Wait::kElapsed;  // or EINTR: the caller looks at the clock again
}

CommFile::Wait CommFile::WaitUntilSent(Clock::time_point line_end,
                                       std::optional<Clock::time_point> deadline, const DCB& dcb) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (deadline && now >= *deadline) {
            return Wait::kTimedOut;
        }
        int queued = 0;
        if (CommSyscalls().output_queue(fd_.get(), &queued) != 0) {
            if (errno == EINTR) {
                continue;
            }
            queued = 0;  // no queue to ask about: the computed line time decides alone
        }
        Clock::time_point until;
        if (queued > 0) {
            // Still in the kernel: look again when those bytes could have gone out, and no
            // later than the end the whole write needs.
            until = now + std::chrono::duration_cast<Clock::duration>(
                              comm::LineTime(static_cast<size_t>(queued), dcb));
            until = std::max(until, line_end);
        } else if (now < line_end) {
            until = line_end;  // the queue says drained; the wire still carries the last bytes
        } else {
            return Wait::kElapsed;
        }
        if (deadline && until > *deadline) {
            until = *deadline;
        }
        if (Sleep(until) == Wait::kCancelled) {
            return Wait::kCancelled;
        }
    }
}

DWORD CommFile::Write(const void* buffer, DWORD count, DWORD* done) noexcept {
    *done = 0;
    if (!(access_ & GENERIC_WRITE)) {
        return ERROR_ACCESS_DENIED;
    }
    if (count == 0) {
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> serial(write_mutex_);
    COMMTIMEOUTS timeouts;
    Toggle toggle;
    DCB dcb;
    {
        std::lock_guard<std::mutex> guard(state_mutex_);
        timeouts = timeouts_;
        toggle = toggle_;
        dcb = dcb_;
    }
    if (toggle == Toggle::kManual) {
        int bits = TIOCM_RTS;
        if (int e = RetryIoctl(fd_.get(), TIOCMBIS, &bits)) {
            return CommErrorFromErrno(e);
        }
    }
    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> deadline;
    if (const auto limit = comm::WriteLimit(timeouts, count)) {
        deadline = start + *limit;
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD result = ERROR_SUCCESS;
    bool timed_out = false;
    while (*done < count) {
        ssize_t n = support::RetryOnEintr(
            [&] { return CommSyscalls().write(fd_.get(), bytes + *done, count - *done); });
        if (n > 0) {
            *done += static_cast<DWORD>(n);
            continue;
        }
        if (n == 0) {
            result = ERROR_WRITE_FAULT;  // a tty never accepts 0 of n bytes; do not spin on it
            break;
        }
        if (errno != EAGAIN) {
            result = CommErrorFromErrno(errno);
            break;
        }
        int poll_ms = -1;
        if (deadline) {
            std::optional<int> left = comm::PollMsLeft(*deadline - start, Clock::now() - start);
            if (!left) {
                timed_out = true;
                break;
            }
            poll_ms = *left;
        }
        int error = 0;
        Ready ready = PollPort(fd_.get(), POLLOUT, cancel_.get(), poll_ms, &error);
        if (ready == Ready::kFailed) {
            result = CommErrorFromErrno(error);
            break;
        }
        if (ready == Ready::kCancelled) {
            result = ERROR_OPERATION_ABORTED;
            break;
        }
        if (ready == Ready::kHungUp) {
            result = ERROR_DEVICE_NOT_CONNECTED;
            break;
        }
    }
    if (result == ERROR_SUCCESS && !timed_out && *done > 0) {
        // Done when the bytes have left the wire: they start once the line is free of this
        // handle's previous write, and take their line time whatever the driver reports.
        const Clock::time_point line_end =
            std::max(start, line_free_at_) +
            std::chrono::duration_cast<Clock::duration>(comm::LineTime(*done, dcb));
        line_free_at_ = line_end;
        switch (WaitUntilSent(line_end, deadline, dcb)) {
            case Wait::kElapsed:
                break;
            case Wait::kTimedOut:
                timed_out = true;
                break;
            case Wait::kCancelled:
                result = ERROR_OPERATION_ABORTED;
                break;
        }
    }
    if (timed_out) {
        // A stuck line: what this call left in the kernel is dropped, never sent late, and
        // the count says what went out, as a write time-out does.
        int queued = 0;
        if (CommSyscalls().output_queue(fd_.get(), &queued) != 0 || queued < 0) {
            queued = 0;
        }
        tcflush(fd_.get(), TCOFLUSH);
        *done -= std::min<DWORD>(*done, static_cast<DWORD>(queued));
        line_free_at_ = Clock::now();
    }
    if (toggle == Toggle::kManual) {
        // The bytes are out (or abandoned): RTS drops now and not before, so the last
        // character is not cut off on the bus.
        int bits = TIOCM_RTS;
        RetryIoctl(fd_.get(), TIOCMBIC, &bits);
    }
    return result;
}

DWORD CommFile::Flush() noexcept {
    if (support::RetryOnEintr([&] { return CommSyscalls().tcdrain(fd_.get()); }) == 0) {
        return ERROR_SUCCESS;
    }
    return CommErrorFromErrno(errno);
}

}  // namespace k47::comm
