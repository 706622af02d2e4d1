// Linux implementation file of the platform layer: may include Linux system headers.
// Pseudo-terminal pair for tests and the simulator (k47/pty.h).
#include "k47/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

#include "comm/comm_kernel.h"
#include "support/eintr.h"

namespace k47 {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Throw(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Milliseconds left until `deadline` for poll(), rounded up; 0 once it passed.
int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        Throw("posix_openpt");
    }
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name)) {
        int saved = errno;
        Close();
        errno = saved;
        Throw("pty setup");
    }
    slave_path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0 || fcntl(master_, F_SETFL, O_NONBLOCK) != 0 || !SetRaw()) {
        int saved = errno;
        Close();
        errno = saved;
        Throw("pty open");
    }
}

PtyPair::~PtyPair() {
    Close();
}

PtyPair::PtyPair(PtyPair&& other) noexcept
    : master_(std::exchange(other.master_, -1)),
      slave_(std::exchange(other.slave_, -1)),
      slave_path_(std::move(other.slave_path_)) {}

PtyPair& PtyPair::operator=(PtyPair&& other) noexcept {
    if (this != &other) {
        Close();
        master_ = std::exchange(other.master_, -1);
        slave_ = std::exchange(other.slave_, -1);
        slave_path_ = std::move(other.slave_path_);
    }
    return *this;
}

void PtyPair::Close() {
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

void PtyPair::HangUp() {
    Close();
}

bool PtyPair::SetRaw() {
    termios tio{};
    if (master_ < 0 || tcgetattr(master_, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(master_, TCSANOW, &tio) == 0;
}

std::vector<uint8_t> PtyPair::Read(size_t max, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    const Clock::time_point deadline = Clock::now() + timeout;
    while (master_ >= 0 && out.size() < max) {
        pollfd p{master_, POLLIN, 0};
        int r = poll(&p, 1, MsLeft(deadline));
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (r == 0) {
            break;  // deadline
        }
        uint8_t buf[512];
        size_t want = std::min(sizeof buf, max - out.size());
        ssize_t n = read(master_, buf, want);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            break;  // EIO: no slave open
        }
    }
    return out;
}

std::vector<uint8_t> PtyPair::ReadAvailable(size_t max, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out = Read(std::min<size_t>(max, 1), timeout);
    if (out.empty() || max <= 1) {
        return out;
    }
    std::vector<uint8_t> rest = Read(max - 1, std::chrono::milliseconds(0));
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

bool PtyPair::WriteAll(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (master_ < 0) {
            return false;
        }
        ssize_t n = support::RetryOnEintr([&] { return write(master_, p, size); });
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd pf{master_, POLLOUT, 0};
            if (poll(&pf, 1, -1) < 0 && errno != EINTR) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

size_t PtyPair::SlaveQueuedInput() const {
    int queued = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &queued) != 0) {
        return 0;
    }
    return static_cast<size_t>(queued);
}

bool PtyPair::WaitSlaveQueued(size_t count, std::chrono::milliseconds timeout) const {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (SlaveQueuedInput() >= count) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        // The pty moves bytes to the slave from a kernel work item; there is no descriptor
        // event for "all of them arrived", so look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::optional<PtyLineSettings> PtyPair::SlaveSettings() const {
    if (slave_ < 0) {
        return std::nullopt;
    }
    return ReadLineSettings(slave_);
}

std::optional<PtyLineSettings> ReadLineSettings(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return std::nullopt;
    }
    PtyLineSettings s;
    if (comm::GetLineSpeed(fd, &s.baud) != 0) {
        return std::nullopt;
    }
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            s.data_bits = 5;
            break;
        case CS6:
            s.data_bits = 6;
            break;
        case CS7:
            s.data_bits = 7;
            break;
        default:
            s.data_bits = 8;
            break;
    }
    if (!(tio.c_cflag & PARENB)) {
        s.parity = 'N';
    } else if (tio.c_cflag & CMSPAR) {
        s.parity = (tio.c_cflag & PARODD) ? 'M' : 'S';
    } else {
        s.parity = (tio.c_cflag & PARODD) ? 'O' : 'E';
    }
    s.stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    s.rts_cts = (tio.c_cflag & CRTSCTS) != 0;
    s.xon_out = (tio.c_iflag & IXON) != 0;
    s.xon_in = (tio.c_iflag & IXOFF) != 0;
    s.raw = !(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(tio.c_oflag & OPOST) &&
            !(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP));
    return s;
}

}  // namespace k47
