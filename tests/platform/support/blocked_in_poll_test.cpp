// The test helper that tells when a thread is blocked in poll: it must say yes for a thread
// asleep in poll() and ppoll(), and no (after its timeout) for one that is busy or asleep
// elsewhere, or tests acting on "blocked" waiters would race.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../../support/BlockedInPoll.h"

namespace {

using namespace std::chrono_literals;

class Subject {
  public:
    template <class Body>
    explicit Subject(Body body) {
        EXPECT_EQ(0, pipe(fds_));
        thread_ = std::thread([this, body] {
            tid_ = static_cast<pid_t>(syscall(SYS_gettid));
            body(fds_[0], stop_);
        });
        while (tid_.load() == 0)
            std::this_thread::yield();
    }
    ~Subject() {
        stop_ = true;
        (void)write(fds_[1], "x", 1);
        thread_.join();
        close(fds_[0]);
        close(fds_[1]);
    }
    pid_t tid() const { return tid_.load(); }

  private:
    int fds_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<pid_t> tid_{0};
    std::thread thread_;
};

TEST(BlockedInPollTest, SeesPollAndPpoll) {
    Subject in_poll([](int fd, const std::atomic<bool>&) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, -1);
    });
    EXPECT_TRUE(k47test::WaitUntilBlockedInPoll(in_poll.tid()));
    Subject in_ppoll([](int fd, const std::atomic<bool>&) {
        pollfd p{fd, POLLIN, 0};
        ppoll(&p, 1, nullptr, nullptr);
    });
    EXPECT_TRUE(k47test::WaitUntilBlockedInPoll(in_ppoll.tid()));
}

TEST(BlockedInPollTest, BusyThreadIsNotBlocked) {
    Subject busy([](int, const std::atomic<bool>& stop) {
        while (!stop) {
        }
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(k47test::WaitUntilBlockedInPoll(busy.tid(), 200ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

TEST(BlockedInPollTest, ThreadBlockedInReadIsNotInPoll) {
    Subject reading([](int fd, const std::atomic<bool>&) {
        char c;
        (void)read(fd, &c, 1);
    });
    if (access(("/proc/self/task/" + std::to_string(reading.tid()) + "/syscall").c_str(), R_OK) !=
        0) {
        GTEST_SKIP() << "no /proc/<tid>/syscall here: only the sleeping state can be seen";
    }
    EXPECT_FALSE(k47test::WaitUntilBlockedInPoll(reading.tid(), 200ms));
}

}  // namespace
