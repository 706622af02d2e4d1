// ptzctl's handling of SIGINT, SIGTERM and SIGHUP: a camera must not be left moving because the
// user pressed Ctrl-C, the terminal went away or a service manager stopped the tool.
//
// The three signals are blocked in every thread (the object is made in main before any other
// thread, and threads inherit the mask) and read from a signalfd by a watcher thread, so no
// signal handler runs and no library call is interrupted. Until Intercept() a signal ends the
// program at once, by that signal, as the default action would. From Intercept() on (a motion is
// about to begin) the first signal is only noted and Descriptor() becomes readable: the waiting
// loop sees it, ends the motion and calls Finish(), which ends the program by that signal. A second
// signal ends it at once (the user insists; the camera's own time-out stops it 5 s later).
//
// Threading: Intercept, Descriptor, Received and Finish from the main thread; the watcher is
// its own. Lifetime: RAII; the destructor stops and joins the watcher and unblocks the signals.
#pragma once

#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace ptzctl {

class Interruption {
  public:
    Interruption();
    ~Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // From now on the first signal is noted instead of ending the program.
    void Intercept();
    // Readable once a signal was noted; -1 when signals are not watched (they then act as
    // usual), which poll() ignores.
    int Descriptor() const { return noted_; }
    // The signal noted, or 0.
    int Received() const { return received_.load(std::memory_order_acquire); }
    // Ends the program by the signal noted (stdio flushed first); returns when none was.
    void Finish();

  private:
    void Watch();
    [[noreturn]] static void EndBy(int signal);

    sigset_t signals_{};
    sigset_t previous_{};
    int signal_fd_ = -1;
    int noted_ = -1;   // eventfd, written once when a signal is noted
    int quit_ = -1;    // eventfd, written by the destructor
    std::mutex lock_;  // orders Intercept against the watcher's decision
    bool intercepting_ = false;
    std::atomic<int> received_{0};
    std::thread watcher_;
};

}  // namespace ptzctl
