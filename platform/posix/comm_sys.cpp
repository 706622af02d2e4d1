// Linux implementation file of the platform layer: may include Linux system headers.
// The real calls behind the comm syscall seam.
#include "comm_sys.h"

#include <termios.h>
#include <unistd.h>

namespace k47::posix {

namespace {

const CommSyscallTable kReal = {
    ::read, ::write, ::poll, ::tcdrain, ::nanosleep,
};

}  // namespace

CommSyscallTable& CommSyscalls() noexcept {
    static CommSyscallTable table = kReal;
    return table;
}

const CommSyscallTable& RealCommSyscalls() noexcept {
    return kReal;
}

}  // namespace k47::posix
