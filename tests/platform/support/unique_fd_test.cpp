// The scoped file descriptor shared by the platform and the tools (k47/unique_fd.h): it closes
// exactly once, moves without closing, and gives a descriptor up without closing it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "k47/unique_fd.h"

namespace {

using k47::UniqueFd;

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

int NewFd() {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    return fd;
}

TEST(UniqueFdTest, ClosesWhenItGoesAndNotBefore) {
    int raw = NewFd();
    {
        UniqueFd fd(raw);
        EXPECT_TRUE(fd);
        EXPECT_EQ(raw, fd.get());
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));
    UniqueFd empty;
    EXPECT_FALSE(empty);
    EXPECT_EQ(-1, empty.get());
}

TEST(UniqueFdTest, MoveTransfersWithoutClosing) {
    int a = NewFd();
    int b = NewFd();
    UniqueFd first(a);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(a, second.get());
    EXPECT_TRUE(IsOpen(a));

    UniqueFd third(b);
    third = std::move(second);  // b is closed, a moves over
    EXPECT_FALSE(IsOpen(b));
    EXPECT_TRUE(IsOpen(a));
    EXPECT_EQ(a, third.get());
    EXPECT_FALSE(second);
}

TEST(UniqueFdTest, ResetAndRelease) {
    int a = NewFd();
    int b = NewFd();
    UniqueFd fd(a);
    fd.reset(b);
    EXPECT_FALSE(IsOpen(a));
    EXPECT_EQ(b, fd.get());
    int given = fd.release();
    EXPECT_EQ(b, given);
    EXPECT_FALSE(fd);
    EXPECT_TRUE(IsOpen(b)) << "release gives the descriptor up without closing it";
    close(b);
}

TEST(UniqueFdTest, ReceiveAdoptsWhatTheCallStored) {
    int a = NewFd();
    UniqueFd fd(a);
    bool old_closed_first = false;
    int stored = -1;
    auto fill = [&](int* out) {
        old_closed_first = !IsOpen(a);
        *out = stored = open("/dev/null", O_RDONLY | O_CLOEXEC);
    };
    fill(fd.Receive());
    EXPECT_TRUE(old_closed_first);
    ASSERT_GE(stored, 0);
    EXPECT_EQ(stored, fd.get());
    EXPECT_TRUE(IsOpen(stored));
}

TEST(UniqueFdDeathTest, ResettingToTheHeldDescriptorAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            UniqueFd fd(NewFd());
            fd.reset(fd.get());
        },
        "");
}

}  // namespace
