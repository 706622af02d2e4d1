// Linux implementation file of the platform layer: may include Linux system headers.
// termios2 line speed and RS-485 mode (see comm_kernel.h for why this is a file of its own).
#include "comm/comm_kernel.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "support/eintr.h"

namespace k47::comm {

namespace {

int Ioctl(int fd, unsigned long request, void* arg) {
    return support::RetryOnEintr([&] { return ioctl(fd, request, arg); }) == 0 ? 0 : errno;
}

}  // namespace

int SetLineSpeed(int fd, uint32_t baud) noexcept {
    if (baud == 0) {
        return EINVAL;  // speed 0 means "hang up" to the kernel, never a rate
    }
    struct termios2 tio {};
    if (int error = Ioctl(fd, TCGETS2, &tio)) {
        return error;
    }
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return Ioctl(fd, TCSETS2, &tio);
}

int GetLineSpeed(int fd, uint32_t* baud) noexcept {
    struct termios2 tio {};
    if (int error = Ioctl(fd, TCGETS2, &tio)) {
        return error;
    }
    *baud = tio.c_ospeed;
    return 0;
}

int EnableRs485RtsOnSend(int fd, bool* active) noexcept {
    *active = false;
    struct serial_rs485 conf {};
    if (int error = Ioctl(fd, TIOCGRS485, &conf)) {
        return error;
    }
    conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    conf.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    if (int error = Ioctl(fd, TIOCSRS485, &conf)) {
        return error;
    }
    struct serial_rs485 back {};
    if (int error = Ioctl(fd, TIOCGRS485, &back)) {
        return error;
    }
    const __u32 wanted = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    *active = (back.flags & wanted) == wanted;
    return 0;
}

int DisableRs485(int fd) noexcept {
    struct serial_rs485 conf {};
    if (int error = Ioctl(fd, TIOCGRS485, &conf)) {
        return error;
    }
    if ((conf.flags & SER_RS485_ENABLED) == 0) {
        return 0;
    }
    conf.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    return Ioctl(fd, TIOCSRS485, &conf);
}

}  // namespace k47::comm
