// Linux implementation file of the platform layer: may include Linux system headers.
// The syscall seam of the serial comm calls: the open of CreateFileA and every read, write, poll,
// tcdrain, output-queue query and timed wait of ReadFile, WriteFile, FlushFileBuffers and the RTS
// toggle goes through CommSyscalls(), so tests can inject EINTR, EAGAIN, short writes, a
// transmitter that never drains, devices that cannot be opened and errors without a real device
// misbehaving (and fuzzers can run drivers whose every port stays shut).
//
// Threading: the table is process-wide and read without a lock. Replace entries only while no
// comm call runs (tests do it before starting I/O and restore it with ScopedCommSyscalls).
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>

namespace k47::comm {

struct CommSyscallTable {
    ssize_t (*read)(int fd, void* buf, size_t count);
    ssize_t (*write)(int fd, const void* buf, size_t count);
    int (*poll)(pollfd* fds, nfds_t nfds, int timeout_ms);
    int (*tcdrain)(int fd);
    // Bytes still in the driver's output queue (TIOCOUTQ); 0 or -1 with errno.
    int (*output_queue)(int fd, int* count);
    int (*ppoll)(pollfd* fds, nfds_t nfds, const timespec* timeout, const sigset_t* mask);
    // open(2) of a device path, without a mode.
    int (*open)(const char* path, int flags);
};

// The live table; starts with the real calls.
CommSyscallTable& CommSyscalls() noexcept;
// The real calls, for fakes that forward to them.
const CommSyscallTable& RealCommSyscalls() noexcept;

// Restores the table it found when it goes out of scope.
class ScopedCommSyscalls {
  public:
    ScopedCommSyscalls() : saved_(CommSyscalls()) {}
    ~ScopedCommSyscalls() { CommSyscalls() = saved_; }
    ScopedCommSyscalls(const ScopedCommSyscalls&) = delete;
    ScopedCommSyscalls& operator=(const ScopedCommSyscalls&) = delete;

  private:
    CommSyscallTable saved_;
};

}  // namespace k47::comm
