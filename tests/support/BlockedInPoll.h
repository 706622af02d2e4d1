// Waiting until another thread of the test is really blocked, so a test can act on a waiter, a
// reader or a blocked socket call without sleeping for a guessed time. Header-only, so that both
// the platform tests and the library tests can use it (include it by path).
// Threading: any thread may ask about any thread of the process.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace k47test {

// True once thread `tid` of this process sits in poll() or ppoll() (where every platform wait and
// every blocking socket or comm call sleeps), read from /proc; false after `timeout`. Where
// /proc/<tid>/syscall cannot be read (it needs ptrace access, which some sandboxes deny), a
// sleeping state ('S' in stat) is taken instead.
inline bool WaitUntilBlockedInPoll(pid_t tid,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream syscall_file(task + "/syscall");
        if (syscall_file) {
            long nr = -1;  // "running" while not in a call: no number
            if (syscall_file >> nr && (nr == SYS_ppoll || nr == SYS_poll)) {
                return true;
            }
        } else {
            std::ifstream stat_file(task + "/stat");
            std::string line;
            std::getline(stat_file, line);
            size_t paren = line.rfind(')');  // the name in parentheses may hold anything
            if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S') {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace k47test
