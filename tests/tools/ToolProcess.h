// Runs a tool as a child process for the tools' tests: arguments without a shell, standard output
// and standard error on pipes, standard input from a file or terminal when one is named, output
// read line by line with a deadline, signals, and the exit status (or the signal that ended the
// child) collected with a deadline (a pidfd, so nothing polls). The destructor kills and reaps a
// child that is still running, so a failed test leaves no process behind.
//
// Threading: one thread at a time. Lifetime: RAII for the child and every descriptor.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace k47test {

class ToolProcess {
  public:
    // `input`: a path opened read-write as standard input (a pty's slave, say); none: inherited.
    ToolProcess(const std::string& program, const std::vector<std::string>& args,
                const std::string& input = {}) {
        int out[2] = {-1, -1};
        int err[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            CloseAll(out, err);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        if (!input.empty()) {
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDWR, 0);
        }
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        if (rc != 0) {
            close(out[0]);
            close(err[0]);
            return;
        }
        pid_ = pid;
        out_ = out[0];
        err_ = err[0];
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    }

    ~ToolProcess() {
        if (pid_ > 0 && status_ == kRunning) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        for (int fd : {out_, err_, pidfd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    bool started() const { return pid_ > 0 && pidfd_ >= 0; }
    pid_t pid() const { return pid_; }
    bool Signal(int number) const { return pid_ > 0 && kill(pid_, number) == 0; }

    // The next line of standard output without its newline; nullopt at the deadline or once the
    // output ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            if (out_ < 0) {
                return std::nullopt;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() < 0) {
                return std::nullopt;
            }
            pollfd p{out_, POLLIN, 0};
            int r = poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            ssize_t n = read(out_, chunk, sizeof chunk);
            if (n > 0) {
                buffer_.append(chunk, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(out_);
                out_ = -1;  // end of output
            }
        }
    }

    // Closes our end of the child's standard output (its next write fails).
    void CloseOutput() {
        if (out_ >= 0) {
            close(out_);
            out_ = -1;
        }
    }

    // The exit status once the child exited (-1 when a signal ended it); nullopt at the deadline.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (status_ == kRunning) {
            pollfd p{pidfd_, POLLIN, 0};
            int r = 0;
            do {
                r = poll(&p, 1, static_cast<int>(timeout.count()));
            } while (r < 0 && errno == EINTR);
            if (r <= 0) {
                return std::nullopt;
            }
            int status = 0;
            if (waitpid(pid_, &status, 0) != pid_) {
                return std::nullopt;
            }
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
        return status_;
    }

    // The signal that ended the child, once Wait saw it end; 0 when it exited.
    int EndingSignal() const { return signal_; }

    // What the child wrote on standard error; read once it exited.
    std::string Stderr() {
        std::string text;
        char chunk[4096];
        fcntl(err_, F_SETFL, O_NONBLOCK);
        ssize_t n = 0;
        while ((n = read(err_, chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<size_t>(n));
        }
        return text;
    }

  private:
    static constexpr int kRunning = -2;

    static void CloseAll(int out[2], int err[2]) {
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int pidfd_ = -1;
    int status_ = kRunning;
    int signal_ = 0;
    std::string buffer_;
};

}  // namespace k47test
