// Restarting interrupted calls: RetryOnEintr (-1 and errno) and RetryOnEintrCode (the error
// number as result). Scripted calls stand in for the system calls; one test interrupts a real
// blocking read with a signal.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "../../../platform/posix/support/eintr.h"

namespace {

using k47::support::RetryOnEintr;
using k47::support::RetryOnEintrCode;

// Plays back {result, errno} pairs, one per call, and counts the calls.
struct Script {
    struct Step {
        long result;
        int error;
    };
    std::vector<Step> steps;
    size_t calls = 0;

    long operator()() {
        const Step& step = steps.at(calls++);
        errno = step.error;
        return step.result;
    }
};

TEST(RetryOnEintrTest, RepeatsExactlyWhileInterrupted) {
    struct Case {
        const char* name;
        std::vector<Script::Step> steps;
        long result;
        int error;
    };
    const Case cases[] = {
        {"success at once", {{7, 0}}, 7, 0},
        {"zero is a result", {{-1, EINTR}, {0, 0}}, 0, 0},
        {"success after interruptions", {{-1, EINTR}, {-1, EINTR}, {-1, EINTR}, {42, 0}}, 42, 0},
        {"other failure ends it", {{-1, EINTR}, {-1, EAGAIN}}, -1, EAGAIN},
        {"failure at once", {{-1, EBADF}}, -1, EBADF},
        // A success leaves errno as it was; a stale EINTR must not make it repeat.
        {"success with stale EINTR", {{5, EINTR}}, 5, EINTR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Script script{c.steps};
        long r = RetryOnEintr([&] { return script(); });
        int error = errno;
        EXPECT_EQ(c.result, r);
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(c.steps.size(), script.calls);
    }
}

TEST(RetryOnEintrTest, KeepsTheCallsResultType) {
    ssize_t n = RetryOnEintr([]() -> ssize_t { return ssize_t{1} << 40; });
    EXPECT_EQ(ssize_t{1} << 40, n);
    static_assert(std::is_same_v<decltype(RetryOnEintr([] { return 1L; })), long>);
}

TEST(RetryOnEintrCodeTest, RepeatsExactlyWhileTheResultIsEintr) {
    struct Case {
        const char* name;
        std::vector<int> results;
    };
    const Case cases[] = {
        {"success at once", {0}},
        {"success after interruptions", {EINTR, EINTR, 0}},
        {"other error ends it", {EINTR, EINVAL}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t calls = 0;
        errno = EINTR;  // these calls do not use errno: it must not count
        int r = RetryOnEintrCode([&] { return c.results.at(calls++); });
        EXPECT_EQ(c.results.back(), r);
        EXPECT_EQ(c.results.size(), calls);
    }
}

void NoOp(int) {}

// A read blocked on an empty pipe is interrupted by a signal (installed without SA_RESTART, so
// the kernel reports EINTR); the retried read then gets the byte written afterwards.
TEST(RetryOnEintrTest, RealReadResumesAfterASignal) {
    struct sigaction action {};
    action.sa_handler = NoOp;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));

    std::atomic<int> attempts{0};
    std::atomic<int> interrupted{0};
    char got = 0;
    ssize_t n = 0;
    std::atomic<bool> reading{false};
    pthread_t reader_id{};
    std::thread reader([&] {
        reader_id = pthread_self();
        reading = true;
        n = RetryOnEintr([&] {
            attempts.fetch_add(1);
            ssize_t r = read(fds[0], &got, 1);
            if (r < 0 && errno == EINTR)
                interrupted.fetch_add(1);
            return r;
        });
    });
    while (!reading)
        std::this_thread::yield();
    // Signal until one read was interrupted (the first may come before the read blocks).
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (interrupted.load() == 0 && std::chrono::steady_clock::now() < until) {
        pthread_kill(reader_id, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(1, write(fds[1], "x", 1));
    close(fds[1]);  // should the write have failed, the read ends with 0 instead of hanging
    reader.join();
    close(fds[0]);
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GE(interrupted.load(), 1);
    EXPECT_EQ(interrupted.load() + 1, attempts.load());
    EXPECT_EQ(1, n);
    EXPECT_EQ('x', got);
}

}  // namespace
