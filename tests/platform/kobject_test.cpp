// The kernel-object extension point: a plain pipe attached to an event as an extra poll source
// makes the event signalled while the pipe is readable and the source's mask enables it, with
// blocked waiters following mask changes.
#include <windows.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>

// Internal interface of the platform layer (not part of the Windows API).
#include "../../platform/posix/event.h"
#include "handle_test_util.h"

using namespace k47test;
using k47::kobj::Event;
using k47::kobj::PollSource;
using k47::kobj::WaitLock;

namespace {

// Reports readability of a pipe. One-shot sources disable themselves when they report (as a
// socket's FD_READ does until the next recv); level sources keep reporting while data is there.
class PipeSource : public PollSource {
  public:
    PipeSource(int fd, bool one_shot) : fd_(fd), one_shot_(one_shot) {}
    pollfd PollFd(const WaitLock&) const override { return {fd_, mask_, 0}; }
    bool OnReady(const WaitLock&, short revents) override {
        ++reports_;
        last_revents_ = revents;
        if (one_shot_) {
            mask_ = 0;
        }
        return true;
    }
    void Enable(const WaitLock&) { mask_ = POLLIN; }
    int reports(const WaitLock&) const { return reports_; }
    short last_revents(const WaitLock&) const { return last_revents_; }

  private:
    const int fd_;
    const bool one_shot_;
    short mask_ = POLLIN;
    int reports_ = 0;
    short last_revents_ = 0;
};

struct Pipe {
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
    void Put() { ASSERT_EQ(write(fds[1], "x", 1), 1); }
    void Take() {
        char c;
        ASSERT_EQ(read(fds[0], &c, 1), 1);
    }
    int fds[2] = {-1, -1};
};

}  // namespace

TEST(PollSourceOnEvent, OneShotSourceSetsAManualEventAndFollowsItsMask) {
    Pipe pipe;
    UniqueHandle ev = MakeEvent(true);
    UniqueHandle stop = MakeEvent(true);
    auto event = k47::kobj::LookupHandleAs<Event>(ev.get());
    ASSERT_TRUE(event);
    auto source = std::make_shared<PipeSource>(pipe.fds[0], true);
    {
        WaitLock lock;
        event->AttachSource(lock, source);
    }
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_TIMEOUT);

    // A blocked waiter wakes when the pipe becomes readable.
    HANDLE set[] = {stop.get(), ev.get()};
    std::atomic<DWORD> result{0};
    {
        TestThread waiter([&] {
            result = WaitForMultipleObjects(2, set, FALSE, 20000);
            return 0u;
        });
        ASSERT_TRUE(WaitUntilBlockedInWait(waiter.id()));
        pipe.Put();
        ASSERT_TRUE(waiter.Join(10000));  // well before its own time-out
    }
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    {
        WaitLock lock;
        EXPECT_EQ(source->reports(lock), 1);
        EXPECT_TRUE(source->last_revents(lock) & POLLIN);
    }
    // Manual-reset: stays set until reset; the disabled source does not set it again although
    // the byte is still unread.
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(ev.get()));
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_TIMEOUT);

    // Re-enabling the mask while a waiter is blocked (its poll set had no pipe) wakes it.
    {
        TestThread waiter([&] {
            result = WaitForMultipleObjects(2, set, FALSE, 20000);
            return 0u;
        });
        ASSERT_TRUE(WaitUntilBlockedInWait(waiter.id()));
        {
            WaitLock lock;
            source->Enable(lock);
            event->SourcesChanged(lock);
        }
        ASSERT_TRUE(waiter.Join(10000));  // well before its own time-out
    }
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);

    // Detached, the source no longer counts.
    ASSERT_TRUE(ResetEvent(ev.get()));
    {
        WaitLock lock;
        source->Enable(lock);
        event->DetachSource(lock, source.get());
    }
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_TIMEOUT);
    WaitLock lock;
    EXPECT_EQ(source->reports(lock), 2);
}

// An auto-reset event with a level source is signalled while the condition holds: each wait
// consumes one signal and the next finds the condition again, until the pipe is drained.
TEST(PollSourceOnEvent, LevelSourceOnAnAutoEventHoldsWhileReadable) {
    Pipe pipe;
    UniqueHandle ev = MakeEvent(false);
    auto event = k47::kobj::LookupHandleAs<Event>(ev.get());
    ASSERT_TRUE(event);
    auto source = std::make_shared<PipeSource>(pipe.fds[0], false);
    {
        WaitLock lock;
        event->AttachSource(lock, source);
    }
    pipe.Put();
    pipe.Put();
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_OBJECT_0);
    pipe.Take();
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_OBJECT_0);
    pipe.Take();
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_TIMEOUT);
    // A plain SetEvent still works alongside the source.
    SetEvent(ev.get());
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), WAIT_TIMEOUT);
    // Looking up a handle as the wrong type fails as a bad handle.
    UniqueHandle timer = MakeTimer(false);
    SetLastError(0);
    EXPECT_FALSE(k47::kobj::LookupHandleAs<Event>(timer.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
