// Linux implementation file of the platform layer: may include Linux system headers.
// _set_se_translator: per-thread translator bookkeeping plus a process-wide fault handler.
//
// A processor fault cannot become a C++ exception here (see eh.h), so the translator is only
// recorded. The first installation puts a handler on SIGSEGV, SIGBUS, SIGFPE and SIGILL that
// writes one line to stderr naming the thread and the signal, restores the disposition that was
// there before (the default action unless a tool such as a sanitizer installed one), and lets it
// happen: a fault raised by the processor recurs when the handler returns; a signal sent by
// kill/raise is sent again. Each installing thread gets an alternate signal stack (unless it has
// one) so a stack overflow is logged too.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>

#include "eh.h"
#include "kernel/thread_state.h"

namespace {

thread_local _se_translator_function t_translator = nullptr;

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[4];

const char* SignalName(int sig) {
    switch (sig) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        default:
            return "?";
    }
}

// Async-signal-safe line building.
class LineBuffer {
  public:
    void Add(const char* s) {
        while (*s && used_ < sizeof(buf_)) {
            buf_[used_++] = *s++;
        }
    }
    void Add(unsigned long v) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0 && used_ < sizeof(buf_)) {
            buf_[used_++] = digits[--n];
        }
    }
    void Write() const {
        ssize_t ignored = write(STDERR_FILENO, buf_, used_);
        (void)ignored;
    }

  private:
    char buf_[256];
    size_t used_ = 0;
};

void FaultHandler(int sig, siginfo_t* info, void*) {
    int saved_errno = errno;
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    LineBuffer line;
    line.Add("k47: fatal signal ");
    line.Add(static_cast<unsigned long>(sig));
    line.Add(" (");
    line.Add(SignalName(sig));
    line.Add(") in thread ");
    line.Add(static_cast<unsigned long>(syscall(SYS_gettid)));
    line.Add(" (");
    line.Add(name);
    line.Add(t_translator ? "), translator installed and not called\n" : "), no translator\n");
    line.Write();

    for (size_t i = 0; i < std::size(kFaultSignals); ++i) {
        if (kFaultSignals[i] == sig) {
            sigaction(sig, &g_previous[i], nullptr);
        }
    }
    if (info->si_code <= 0) {
        raise(sig);  // sent, not a fault: it would not recur on return
    }
    errno = saved_errno;
}

void InstallHandlers() {
    struct sigaction action {};
    action.sa_sigaction = FaultHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kFaultSignals); ++i) {
        sigaction(kFaultSignals[i], &action, &g_previous[i]);
    }
}

void EnsureAltStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
        return;  // the thread already has one
    }
    auto& state = k47::kernel::CurrentThreadState();
    long min = sysconf(_SC_SIGSTKSZ);
    size_t size = std::max<size_t>(min > 0 ? static_cast<size_t>(min) : 0, 64 * 1024);
    // Not zeroed: a signal handler writes what it uses, and pages left untouched cost no memory
    // (zeroing 64 KiB for each camera's worker made most of a large host's RSS).
    state.alt_stack = std::make_unique_for_overwrite<char[]>(size);
    state.alt_stack_size = size;
    stack_t stack{};
    stack.ss_sp = state.alt_stack.get();
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) != 0) {
        state.alt_stack.reset();
        state.alt_stack_size = 0;
    }
}

}  // namespace

EXTERN_C _se_translator_function __cdecl _set_se_translator(_se_translator_function fn) {
    _se_translator_function previous = t_translator;
    t_translator = fn;
    if (fn) {
        static std::once_flag once;
        std::call_once(once, InstallHandlers);
        try {
            EnsureAltStack();
        } catch (const std::bad_alloc&) {
            // Without an alternate stack only a stack overflow goes unlogged.
        }
    }
    return previous;
}
