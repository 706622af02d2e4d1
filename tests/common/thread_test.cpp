// The worker thread framework: start and stop in every order, the wait set and its limits,
// dispatch to handlers by index, failures in OnThreadInit and in handlers (exit codes and log
// lines), stopping from the worker itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "common/thread.h"
#include "tests/support/TestUtil.h"

namespace {

enum class InitMode { Normal, ThrowHresult, ThrowOther, MaxHandles };

class CTestWorker : public CThread<CTestWorker, CThreadWait, CThreadCOMMulti, CThreadWait> {
  public:
    static constexpr DWORD kHandles = 3;

    CTestWorker() {
        for (auto& event : events_)
            event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~CTestWorker() {
        Stop(INFINITE, nullptr);
        for (auto& event : events_)
            CloseHandle(event);
        for (auto& event : many_)
            CloseHandle(event);
    }

    void OnThreadInit() {
        init_count_++;
        switch (mode_) {
            case InitMode::ThrowHresult:
                throw CHresultError(__FILE__, 7, E_ACCESSDENIED);
            case InitMode::ThrowOther:
                throw std::runtime_error("init failed");
            case InitMode::MaxHandles: {
                // 63 owner handles fill the wait set; 64 are refused and leave it as it was.
                std::vector<HANDLE> handles;
                std::vector<Handler> handlers;
                for (int i = 0; i < 64; ++i) {
                    if (many_.size() < 64)
                        many_.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
                    handles.push_back(many_[i]);
                    handlers.push_back(&CTestWorker::Record);
                }
                SetWaitHandles(63, handles.data(), handlers.data(), INFINITE);
                try {
                    SetWaitHandles(64, handles.data(), handlers.data(), INFINITE);
                } catch (const CHresultError& e) {
                    refused_with_ = e.GetHresult();
                }
                return;
            }
            case InitMode::Normal:
                break;
        }
        const Handler handlers[kHandles] = {&CTestWorker::Record, &CTestWorker::Throw,
                                            &CTestWorker::StopSelf};
        SetWaitHandles(kHandles, events_, handlers, INFINITE);
        apartment_ = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // already joined: S_FALSE
        if (SUCCEEDED(apartment_))
            CoUninitialize();
    }
    void OnThreadExit() {
        exit_count_++;
        if (slow_exit_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            slow_exit_->store(true);
        }
    }

    void Record(DWORD index) {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(index);
    }
    void Throw(DWORD) {
        if (throw_other_)
            throw std::logic_error("handler failed");
        throw CHresultError(__FILE__, 9, HRESULT_FROM_WIN32(ERROR_BUSY));
    }
    void StopSelf(DWORD) { Stop(INFINITE, nullptr); }

    std::vector<DWORD> Calls() {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }

    HANDLE events_[kHandles];
    std::vector<HANDLE> many_;
    InitMode mode_ = InitMode::Normal;
    bool throw_other_ = false;
    std::atomic<bool>* slow_exit_ = nullptr;  // set at the end of a slow OnThreadExit
    std::atomic<int> init_count_{0};
    std::atomic<int> exit_count_{0};
    std::atomic<HRESULT> apartment_{E_FAIL};
    std::atomic<HRESULT> refused_with_{S_OK};

  private:
    std::mutex lock_;
    std::vector<DWORD> calls_;
};

bool Ended(CTestWorker& worker) {
    return k47test::WaitUntil([&] { return !worker.IsRunning(); }, std::chrono::seconds(10));
}

}  // namespace

TEST(Thread, HandlersRunByIndexInTheMultithreadedApartment) {
    CTestWorker worker;
    worker.Start();
    worker.WaitUntilRunning(INFINITE);
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_EQ(worker.apartment_, S_FALSE);  // the worker had joined the MTA before OnThreadInit
    SetEvent(worker.events_[0]);
    ASSERT_TRUE(
        k47test::WaitUntil([&] { return worker.Calls().size() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(worker.Calls(), std::vector<DWORD>{0});  // handler i gets index i
    DWORD exitCode = 12345;
    worker.Stop(INFINITE, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(worker.exit_count_, 1);
    EXPECT_EQ(worker.GetExitCode(), S_OK);
}

TEST(Thread, SixtyThreeOwnerHandlesFitAndSixtyFourAreRefused) {
    CTestWorker worker;
    worker.mode_ = InitMode::MaxHandles;
    worker.Start();
    worker.WaitUntilRunning(INFINITE);
    EXPECT_EQ(worker.refused_with_, E_FAIL);
    // The last of the 63 still works: the refused call changed nothing.
    SetEvent(worker.many_[62]);
    ASSERT_TRUE(
        k47test::WaitUntil([&] { return !worker.Calls().empty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(worker.Calls(), std::vector<DWORD>{62});
    SetEvent(worker.many_[63]);  // never part of the set
    worker.Stop(INFINITE, nullptr);
    EXPECT_EQ(worker.Calls(), std::vector<DWORD>{62});
}

TEST(Thread, AFailingHandlerEndsTheWorkerWithItsErrorAndOneLogLine) {
    k47test::LogCapture log;
    CTestWorker worker;
    worker.Start();
    worker.WaitUntilRunning(INFINITE);
    SetEvent(worker.events_[1]);
    ASSERT_TRUE(Ended(worker));
    EXPECT_EQ(worker.GetExitCode(), HRESULT_FROM_WIN32(ERROR_BUSY));
    EXPECT_EQ(worker.exit_count_, 1);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "HRESULT 0x800700AA (The requested resource is in use.) raised at thread_test line 9 "
              "- handler thread line 288");
    worker.Stop(INFINITE, nullptr);  // a later Stop returns normally

    // Start again: a fresh run with a zero exit code; anything but the library's exceptions ends it
    // with E_FAIL and the unhandled-exception line.
    log.Clear();
    worker.throw_other_ = true;
    worker.Start();
    worker.WaitUntilRunning(INFINITE);
    EXPECT_EQ(worker.GetExitCode(), S_OK);
    EXPECT_TRUE(worker.IsRunning());
    SetEvent(worker.events_[1]);
    ASSERT_TRUE(Ended(worker));
    EXPECT_EQ(worker.GetExitCode(), E_FAIL);
    lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Unhandled Exception - handler thread line 290"), std::string::npos)
        << lines[0];
    worker.Stop(INFINITE, nullptr);
}

TEST(Thread, AFailingThreadInitEndsTheRunBeforeItIsRunning) {
    for (InitMode mode : {InitMode::ThrowHresult, InitMode::ThrowOther}) {
        CTestWorker worker;
        worker.mode_ = mode;
        worker.Start();
        worker.WaitUntilRunning(INFINITE);  // returns because the thread ended
        ASSERT_TRUE(Ended(worker));
        EXPECT_EQ(worker.GetExitCode(), mode == InitMode::ThrowHresult ? E_ACCESSDENIED : E_FAIL);
        EXPECT_EQ(worker.exit_count_, 1);  // the exit hook runs after a failed start too
        worker.Stop(INFINITE, nullptr);
    }
}

TEST(Thread, StartStopStartForgetsEarlierStopsAndResetsTheExitCode) {
    CTestWorker worker;
    for (int run = 1; run <= 3; ++run) {
        worker.Start();
        worker.WaitUntilRunning(INFINITE);
        EXPECT_TRUE(worker.IsRunning()) << "run " << run;
        EXPECT_EQ(worker.init_count_, run);
        worker.Stop(INFINITE, nullptr);
        EXPECT_FALSE(worker.IsRunning());
        EXPECT_EQ(worker.exit_count_, run);
    }
}

TEST(Thread, AWorkerMayStopItselfFromAHandler) {
    CTestWorker worker;
    worker.Start();
    worker.WaitUntilRunning(INFINITE);
    SetEvent(worker.events_[2]);
    ASSERT_TRUE(
        k47test::WaitUntil([&] { return worker.exit_count_ == 1; }, std::chrono::seconds(5)));
    EXPECT_FALSE(worker.IsRunning());  // the handle is gone
    EXPECT_EQ(worker.GetExitCode(), S_OK);
    worker.Stop(INFINITE, nullptr);  // nothing left to stop
}

// A worker that stopped itself still runs the end of its run on the object's fields: the
// destructor and the next Start wait for it instead of pulling the object from under it.
TEST(Thread, AWorkerThatStoppedItselfIsWaitedForByTheNextStartAndTheDestructor) {
    std::atomic<bool> exited{false};
    {
        auto worker = std::make_unique<CTestWorker>();
        worker->slow_exit_ = &exited;
        worker->Start();
        worker->WaitUntilRunning(INFINITE);
        SetEvent(worker->events_[2]);
        ASSERT_TRUE(
            k47test::WaitUntil([&] { return !worker->IsRunning(); }, std::chrono::seconds(5)));
        worker->Start();  // waits for the first run's slow exit before starting again
        EXPECT_TRUE(exited.load());
        worker->WaitUntilRunning(INFINITE);
        EXPECT_TRUE(worker->IsRunning());
        EXPECT_EQ(worker->init_count_, 2);
        exited = false;
        SetEvent(worker->events_[2]);
        ASSERT_TRUE(
            k47test::WaitUntil([&] { return !worker->IsRunning(); }, std::chrono::seconds(5)));
        worker.reset();
        EXPECT_TRUE(exited.load()) << "the object went away while its worker was still ending";
    }
}

TEST(Thread, EverySignalledHandleIsServedOnce) {
    CTestWorker worker;
    worker.mode_ = InitMode::MaxHandles;
    worker.Start();
    worker.WaitUntilRunning(INFINITE);
    // Auto-reset events signalled while the worker may be busy: each is served exactly once.
    for (int i = 40; i >= 30; --i)
        SetEvent(worker.many_[i]);
    ASSERT_TRUE(
        k47test::WaitUntil([&] { return worker.Calls().size() == 11; }, std::chrono::seconds(5)));
    auto calls = worker.Calls();
    std::sort(calls.begin(), calls.end());
    for (DWORD i = 0; i < 11; ++i)
        EXPECT_EQ(calls[i], 30 + i);
    worker.Stop(INFINITE, nullptr);
}

TEST(CriticalSection, IsRecursiveAndTryLockFailsForOtherThreads) {
    CK47CriticalSection section;
    {
        CK47ScopedLock outer(section);
        CK47ScopedLock inner(section);  // the owner may enter again
        std::atomic<bool> other{true};
        std::thread([&] {
            CK47ScopedTryLock attempt(section);
            other = attempt.OwnsLock();
        }).join();
        EXPECT_FALSE(other);
    }
    std::atomic<bool> other{false};
    std::thread([&] {
        CK47ScopedTryLock attempt(section);
        other = attempt.OwnsLock();
    }).join();
    EXPECT_TRUE(other);
}
