// Helpers for the platform tests of handles and waits: an owning HANDLE, a thread running a
// lambda through CreateThread, and a millisecond stopwatch on the monotonic clock; with them
// WaitUntilBlockedInPoll (tests/support/BlockedInPoll.h).
// Threading: each helper belongs to the thread that made it; TestThread's body runs on its own
// thread. Lifetime: TestThread waits for its thread when destroyed (aborting after 60 s, so a
// hung body fails the run instead of freezing it).
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "../support/BlockedInPoll.h"

namespace k47test {

class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        reset(std::exchange(o.h_, nullptr));
        return *this;
    }
    ~UniqueHandle() { reset(); }
    HANDLE get() const { return h_; }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (h_) {
            CloseHandle(h_);
        }
        h_ = h;
    }

  private:
    HANDLE h_ = nullptr;
};

inline UniqueHandle MakeEvent(bool manual, bool initial = false) {
    return UniqueHandle(
        CreateEventW(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr));
}

inline UniqueHandle MakeTimer(bool manual) {
    return UniqueHandle(CreateWaitableTimerW(nullptr, manual ? TRUE : FALSE, nullptr));
}

// Arms a timer with a due time in milliseconds: negative relative, 0 now.
inline BOOL ArmTimer(HANDLE timer, LONGLONG due_ms, LONG period_ms = 0) {
    LARGE_INTEGER due;
    due.QuadPart = due_ms * 10000;
    return SetWaitableTimer(timer, &due, period_ms, nullptr, nullptr, FALSE);
}

class Stopwatch {
  public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double ElapsedMs() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    }

  private:
    std::chrono::steady_clock::time_point start_;
};

class TestThread {
  public:
    explicit TestThread(std::function<DWORD()> body, DWORD flags = 0) : body_(std::move(body)) {
        handle_.reset(CreateThread(nullptr, 0, &Run, &body_, flags, &id_));
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread() {
        if (handle_.get() && WaitForSingleObject(handle_.get(), 60000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "test thread %u did not end\n", static_cast<unsigned>(id_));
            std::abort();
        }
    }
    HANDLE handle() const { return handle_.get(); }
    DWORD id() const { return id_; }
    bool Join(DWORD ms = 30000) const { return WaitForSingleObject(handle(), ms) == WAIT_OBJECT_0; }

  private:
    static DWORD WINAPI Run(LPVOID p) { return (*static_cast<std::function<DWORD()>*>(p))(); }

    std::function<DWORD()> body_;
    UniqueHandle handle_;
    DWORD id_ = 0;
};

}  // namespace k47test
