// Watching for SIGINT, SIGTERM and SIGHUP on a signalfd.
#include "tools/ptzctl/Interruption.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace ptzctl {

Interruption::Interruption() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &signals_, &previous_) != 0)
        return;
    signal_fd_ = signalfd(-1, &signals_, SFD_CLOEXEC);
    noted_ = eventfd(0, EFD_CLOEXEC);
    quit_ = eventfd(0, EFD_CLOEXEC);
    if (signal_fd_ >= 0 && noted_ >= 0 && quit_ >= 0) {
        try {
            watcher_ = std::thread([this] { Watch(); });
            return;
        } catch (const std::system_error&) {
        }
    }
    // Nobody would read the signals: leave them to their default action.
    for (int* fd : {&signal_fd_, &noted_, &quit_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

Interruption::~Interruption() {
    if (watcher_.joinable()) {
        eventfd_write(quit_, 1);
        watcher_.join();
    }
    for (int fd : {signal_fd_, noted_, quit_})
        if (fd >= 0)
            close(fd);
    // A signal still pending (one that came after the watcher stopped) now takes its usual effect.
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void Interruption::Intercept() {
    std::lock_guard<std::mutex> guard(lock_);
    intercepting_ = true;
}

void Interruption::Finish() {
    int signal = Received();
    if (signal != 0)
        EndBy(signal);
}

void Interruption::EndBy(int signal) {
    std::fflush(nullptr);
    // The default action, taken on this thread: the program ends as a killed program does, so
    // its parent (a shell running a script) sees the interruption.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);  // not reached: the default action of these signals ends the program
}

void Interruption::Watch() {
    for (;;) {
        pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {quit_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        signalfd_siginfo info{};
        if (read(signal_fd_, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info)))
            continue;
        const int signal = static_cast<int>(info.ssi_signo);
        bool end = true;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (intercepting_ && Received() == 0) {
                received_.store(signal, std::memory_order_release);
                eventfd_write(noted_, 1);
                end = false;
            }
        }
        if (end)
            EndBy(signal);
    }
}

}  // namespace ptzctl
