// Restarting system calls that a signal interrupted. RetryOnEintr is for calls that fail with -1
// (or any negative value) and set errno; RetryOnEintrCode is for calls that return the error
// number itself (clock_nanosleep, the pthread and posix_spawn families). Both repeat the call
// with the same arguments, so they suit calls without a timeout or with an absolute deadline;
// a call with a relative timeout must recompute what is left and stays a loop of its own.
//
// The result is the last call's, untouched; errno is what that call left.
// Threading: stateless.
#pragma once

#include <cerrno>

namespace k47::support {

template <typename Call>
auto RetryOnEintr(Call&& call) {
    for (;;) {
        auto result = call();
        if (!(result < 0 && errno == EINTR)) {
            return result;
        }
    }
}

template <typename Call>
auto RetryOnEintrCode(Call&& call) {
    for (;;) {
        auto result = call();
        if (result != EINTR) {
            return result;
        }
    }
}

}  // namespace k47::support
