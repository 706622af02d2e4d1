// Probe of the platform's waits and timers (own main, prints a table):
//  1. wake-up latency: SetEvent -> a thread blocked in WaitForMultipleObjects on {event, idle
//     timer} returns, next to the same round trip on a raw eventfd + poll and on a
//     mutex/condition variable (futex), all in this run;
//  2. timer accuracy: a 100 ms periodic synchronisation timer over 100 ticks (interval jitter and
//     offset from the ideal grid), and 400 ms / 5 s one-shots (lateness).
// Usage: bench_waits [round_trips=3000] [--no-timers]
// Before each round trip the sender pauses 200 us so the receiver is really blocked; latency is
// measured on the receiver from a steady_clock stamp the sender takes just before signalling.
#include <windows.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * (v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void PrintRow(const char* name, const std::vector<double>& v) {
    std::printf("%-34s n=%-5zu p50 %9.1f  p90 %9.1f  p99 %9.1f  max %9.1f us\n", name, v.size(),
                Percentile(v, 50), Percentile(v, 90), Percentile(v, 99),
                v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()));
}

// One round-trip harness: `wait_once` blocks the receiver until signalled (false = stop);
// `signal` wakes it. Returns receiver-side latencies in us.
std::vector<double> RoundTrips(int n, const std::function<bool()>& wait_once,
                               const std::function<void()>& signal,
                               const std::function<void()>& stop) {
    std::atomic<Clock::rep> stamp{0};
    std::atomic<int> received{0};
    std::vector<double> latencies;
    latencies.reserve(n);
    std::thread receiver([&] {
        while (wait_once()) {
            auto now = Clock::now().time_since_epoch().count();
            latencies.push_back(Us(Clock::duration(now - stamp.load())));
            received.fetch_add(1, std::memory_order_release);
        }
    });
    for (int i = 0; i < n; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        stamp.store(Clock::now().time_since_epoch().count());
        signal();
        while (received.load(std::memory_order_acquire) != i + 1) {
            std::this_thread::yield();
        }
    }
    stop();
    receiver.join();
    return latencies;
}

std::vector<double> PlatformEventLatency(int n) {
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE idle = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -3600LL * 10000000;  // an hour away: armed but idle
    SetWaitableTimer(idle, &due, 0, nullptr, nullptr, FALSE);
    HANDLE set[] = {ev, idle, stop};
    auto result = RoundTrips(
        n, [&] { return WaitForMultipleObjects(3, set, FALSE, INFINITE) == WAIT_OBJECT_0; },
        [&] { SetEvent(ev); }, [&] { SetEvent(stop); });
    CloseHandle(ev);
    CloseHandle(stop);
    CloseHandle(idle);
    return result;
}

std::vector<double> RawEventfdLatency(int n) {
    int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    itimerspec idle{};
    idle.it_value.tv_sec = 3600;
    timerfd_settime(tfd, 0, &idle, nullptr);
    std::atomic<bool> stopping{false};
    auto result = RoundTrips(
        n,
        [&] {
            pollfd fds[] = {{efd, POLLIN, 0}, {tfd, POLLIN, 0}};
            while (poll(fds, 2, -1) <= 0) {
            }
            eventfd_t v;
            eventfd_read(efd, &v);
            return !stopping.load();
        },
        [&] { eventfd_write(efd, 1); },
        [&] {
            stopping = true;
            eventfd_write(efd, 1);
        });
    close(efd);
    close(tfd);
    return result;
}

std::vector<double> CondvarLatency(int n) {
    std::mutex m;
    std::condition_variable cv;
    bool flag = false;
    bool stopping = false;
    return RoundTrips(
        n,
        [&] {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return flag || stopping; });
            flag = false;
            return !stopping;
        },
        [&] {
            {
                std::lock_guard<std::mutex> lock(m);
                flag = true;
            }
            cv.notify_one();
        },
        [&] {
            {
                std::lock_guard<std::mutex> lock(m);
                stopping = true;
            }
            cv.notify_one();
        });
}

void PeriodicTimer() {
    constexpr int kTicks = 100;
    constexpr LONG kPeriodMs = 100;
    HANDLE t = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(kPeriodMs) * 10000;
    auto start = Clock::now();
    SetWaitableTimer(t, &due, kPeriodMs, nullptr, nullptr, FALSE);
    std::vector<Clock::time_point> ticks;
    for (int i = 0; i < kTicks; ++i) {
        WaitForSingleObject(t, INFINITE);
        ticks.push_back(Clock::now());
    }
    CloseHandle(t);
    std::vector<double> jitter, offset;
    for (int i = 0; i < kTicks; ++i) {
        auto ideal = start + std::chrono::milliseconds(kPeriodMs * (i + 1));
        offset.push_back(Us(ticks[i] - ideal));
        if (i > 0) {
            jitter.push_back(std::abs(Us(ticks[i] - ticks[i - 1]) - kPeriodMs * 1000.0));
        }
    }
    PrintRow("100 ms periodic: |interval-100ms|", jitter);
    PrintRow("100 ms periodic: late vs grid", offset);
    std::printf("%-34s first %.1f us, last %.1f us (drift over %d ticks)\n", "", offset.front(),
                offset.back(), kTicks);
}

void OneShot(const char* name, LONGLONG ms, int repeats) {
    std::vector<double> late;
    HANDLE t = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    for (int i = 0; i < repeats; ++i) {
        LARGE_INTEGER due;
        due.QuadPart = -ms * 10000;
        auto start = Clock::now();
        SetWaitableTimer(t, &due, 0, nullptr, nullptr, FALSE);
        WaitForSingleObject(t, INFINITE);
        late.push_back(Us(Clock::now() - start) - ms * 1000.0);
    }
    CloseHandle(t);
    PrintRow(name, late);
}

}  // namespace

int main(int argc, char** argv) {
    int n = 3000;
    bool timers = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-timers") == 0) {
            timers = false;
        } else {
            n = std::max(10, std::atoi(argv[i]));
        }
    }
    std::printf("wake-up latency, %d round trips each (receiver blocked before each signal)\n", n);
    PrintRow("SetEvent -> WFMO{event, idle timer}", PlatformEventLatency(n));
    PrintRow("raw eventfd write -> poll", RawEventfdLatency(n));
    PrintRow("condvar notify -> wait (futex)", CondvarLatency(n));
    if (timers) {
        std::printf("\ntimer accuracy\n");
        PeriodicTimer();
        OneShot("400 ms one-shot: lateness", 400, 5);
        OneShot("5 s one-shot: lateness", 5000, 1);
    }
    return 0;
}
