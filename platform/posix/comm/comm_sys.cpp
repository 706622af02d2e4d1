// Linux implementation file of the platform layer: may include Linux system headers.
// The real calls behind the comm syscall seam.
#include "comm/comm_sys.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace k47::comm {

namespace {

int OutputQueue(int fd, int* count) {
    return ::ioctl(fd, TIOCOUTQ, count);
}

// open(2) is variadic; the table holds a plain two-argument function.
int OpenDevice(const char* path, int flags) {
    return ::open(path, flags);
}

const CommSyscallTable kReal = {
    ::read, ::write, ::poll, ::tcdrain, OutputQueue, ::ppoll, OpenDevice,
};

}  // namespace

CommSyscallTable& CommSyscalls() noexcept {
    static CommSyscallTable table = kReal;
    return table;
}

const CommSyscallTable& RealCommSyscalls() noexcept {
    return kReal;
}

}  // namespace k47::comm
