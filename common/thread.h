// The worker thread framework: CThread gives its owner one worker thread that waits on a set of
// handles and calls one of the owner's member functions for whichever handle is signalled; and the
// lock classes the owners use (CSyncObjectBase, CK47CriticalSection and their scope guards).
//
// The worker, in outline:
//     install the fault translator; exit code := 0
//     guarded { join the MTA; SetWaitHandles(0) (the stop event alone); owner.OnThreadInit();
//               set the running event;
//               loop { r := wait for any of the wait set;
//                      r == 0 (stop event): leave;  1 <= r < count: handler[r-1](r-1);
//                      anything else: wait again } }
//     reset the running event
//     guarded { owner.OnThreadExit(); leave the MTA }
//     return the exit code
// An exception of the runtime library ends the worker with its HRESULT as exit code, anything
// else with E_FAIL; each is logged once with the handler's line. Nothing escapes the worker.
//
// Threading contract: the owner's public operations (Start, Stop, WaitUntilRunning, SignalStop,
// IsRunning) are called from the owner's configuration path, one at a time; handlers, OnThreadInit
// and OnThreadExit run on the worker. Stop may be called from a handler on the worker itself: it
// then only signals and closes the thread handle, and the loop ends when the handler returns. The
// owner must stop the worker before its own members go away (the destructor stops it too, but by
// then the owner's members are already destroyed).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <eh.h>

#include <atomic>
#include <exception>

#include "common/K47Global.h"

// ---------------------------------------------------------------------------------------------
// Locks

// The abstract lock: its operations, in this order, are Lock, Unlock, TryLock.
class CSyncObjectBase {
  public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual bool TryLock() = 0;

  protected:
    CSyncObjectBase() = default;
    ~CSyncObjectBase() = default;
};

// A Windows critical section with a spin count of 4000 (recursive, process-local).
class CK47CriticalSection : public CSyncObjectBase {
  public:
    CK47CriticalSection() noexcept { InitializeCriticalSectionAndSpinCount(&m_section, 0xFA0); }
    ~CK47CriticalSection() { DeleteCriticalSection(&m_section); }
    CK47CriticalSection(const CK47CriticalSection&) = delete;
    CK47CriticalSection& operator=(const CK47CriticalSection&) = delete;

    void Lock() override { EnterCriticalSection(&m_section); }
    void Unlock() override { LeaveCriticalSection(&m_section); }
    bool TryLock() override { return TryEnterCriticalSection(&m_section) != FALSE; }

  private:
    CRITICAL_SECTION m_section;
};

// Holds a lock for its scope: unlocked on every way out, exceptions included.
class CK47ScopedLock {
  public:
    [[nodiscard]] explicit CK47ScopedLock(CSyncObjectBase& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CK47ScopedLock() { m_lock.Unlock(); }
    CK47ScopedLock(const CK47ScopedLock&) = delete;
    CK47ScopedLock& operator=(const CK47ScopedLock&) = delete;

  private:
    CSyncObjectBase& m_lock;
};

// Tries the lock once; if it was taken, it is released at the end of the scope.
class CK47ScopedTryLock {
  public:
    [[nodiscard]] explicit CK47ScopedTryLock(CSyncObjectBase& lock)
        : m_lock(lock), m_owns(lock.TryLock()) {}
    ~CK47ScopedTryLock() {
        if (m_owns)
            m_lock.Unlock();
    }
    CK47ScopedTryLock(const CK47ScopedTryLock&) = delete;
    CK47ScopedTryLock& operator=(const CK47ScopedTryLock&) = delete;
    bool OwnsLock() const noexcept { return m_owns; }

  private:
    CSyncObjectBase& m_lock;
    bool m_owns;
};

// ---------------------------------------------------------------------------------------------
// Policies

// Waiting: any one of the handles, up to the time-out. (A Windows message queue has no
// counterpart here, so there are no window messages to dispatch.)
class CThreadWait {
  public:
    static DWORD Wait(DWORD count, const HANDLE* handles, DWORD timeout) {
        return WaitForMultipleObjects(count, handles, FALSE, timeout);
    }
};

// Apartment: the worker joins the multithreaded apartment.
class CThreadCOMMulti {
  public:
    static HRESULT Init() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    static void Term() { CoUninitialize(); }
};

// ---------------------------------------------------------------------------------------------
// The worker thread

namespace k47thread {
// The handlers' fixed line numbers (file "thread").
inline constexpr int kJoinFailedLine = 111;
inline constexpr int kEventsNotCreatedLine = 179;
inline constexpr int kDestructorLine = 186;
inline constexpr int kWaitHandlesLine = 211;
inline constexpr int kRunHandledLine = 288;
inline constexpr int kRunUnhandledLine = 290;
inline constexpr int kCloseHandledLine = 304;
inline constexpr int kCloseUnhandledLine = 306;
inline constexpr int kStartLine = 333;
inline constexpr int kStopLine = 360;
inline constexpr int kWaitUntilRunningLine = 372;
inline constexpr DWORD kMaxHandles = MAXIMUM_WAIT_OBJECTS;
}  // namespace k47thread

template <class T, class TWait = CThreadWait, class TApartment = CThreadCOMMulti,
          class TStopWait = CThreadWait>
class CThread {
  public:
    typedef void (T::*Handler)(DWORD index);

    CThread() {
        m_hStopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        m_hRunningEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_hStopEvent == nullptr || m_hRunningEvent == nullptr) {
            CWin32Error error(__FILE__, k47thread::kEventsNotCreatedLine);
            CloseEvents();
            throw error;
        }
    }

    ~CThread() {
        try {
            Stop(INFINITE, nullptr);
        } catch (const std::exception& e) {
            K47LogStdException(e, __FILE__, k47thread::kDestructorLine);
        } catch (const CExceptionBase& e) {
            K47LogHandled(e, __FILE__, k47thread::kDestructorLine);
        } catch (...) {
            K47LogUnhandled(__FILE__, k47thread::kDestructorLine);
        }
        JoinFinishing();
        CloseEvents();
    }

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    void Start() {
        JoinFinishing();
        if (m_hStopEvent != nullptr)
            ResetEvent(m_hStopEvent);
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, &CThread::ThreadProc, this, 0, &id);
        m_hThread.store(thread, std::memory_order_release);
        m_dwThreadId.store(id, std::memory_order_release);
        if (thread == nullptr || !SetThreadPriority(thread, m_nPriority))
            throw CWin32Error(__FILE__, k47thread::kStartLine);
    }

    void Stop(DWORD timeout, DWORD* pExitCode) {
        HANDLE thread = m_hThread.load(std::memory_order_acquire);
        if (thread == nullptr)
            return;
        SetEvent(m_hStopEvent);
        bool waited = false;
        DWORD result = WAIT_OBJECT_0;
        DWORD error = 0;
        if (GetCurrentThreadId() != m_dwThreadId.load(std::memory_order_acquire)) {
            waited = true;
            result = TStopWait::Wait(1, &thread, timeout);
            error = GetLastError();
            if (pExitCode != nullptr)
                GetExitCodeThread(thread, pExitCode);
            CloseHandle(thread);
        } else {
            // Stopped from the worker itself: it still has the end of its run to go through, on
            // this object's fields. The next Start and the destructor wait for that.
            JoinFinishing();
            m_dwFinishingId.store(GetCurrentThreadId(), std::memory_order_relaxed);
            m_hFinishing.store(thread, std::memory_order_release);
        }
        m_hThread.store(nullptr, std::memory_order_release);
        if (waited && result != WAIT_OBJECT_0)
            throw CWin32Error(__FILE__, k47thread::kStopLine,
                              result == WAIT_TIMEOUT ? ERROR_TIMEOUT : error);
    }

    // Asks the worker to end without waiting for it.
    void SignalStop() {
        if (m_hThread.load(std::memory_order_acquire) != nullptr)
            SetEvent(m_hStopEvent);
    }

    bool IsRunning() const {
        HANDLE thread = m_hThread.load(std::memory_order_acquire);
        DWORD code = 0;
        return thread != nullptr && GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
    }

    void WaitUntilRunning(DWORD timeout) {
        HANDLE thread = m_hThread.load(std::memory_order_acquire);
        if (thread == nullptr)
            return;
        HANDLE handles[2] = {m_hRunningEvent, thread};
        DWORD result = TWait::Wait(2, handles, timeout);
        if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1)
            return;
        throw CWin32Error(__FILE__, k47thread::kWaitUntilRunningLine,
                          result == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    }

    // The owner's handles (at most 63) and the handler of each; element 0 is always the stop event.
    void SetWaitHandles(DWORD count, const HANDLE* handles, const Handler* handlers,
                        DWORD timeout) {
        if (count >= k47thread::kMaxHandles)
            throw CHresultError(__FILE__, k47thread::kWaitHandlesLine, E_FAIL);
        m_hWaitSet[0] = m_hStopEvent;
        for (DWORD i = 0; i < count; ++i) {
            m_hWaitSet[i + 1] = handles[i];
            m_handlers[i] = handlers[i];
        }
        m_dwHandleCount = count + 1;
        m_dwWaitTimeout = timeout;
        if (m_hStopEvent == nullptr)
            throw CHresultError(__FILE__, k47thread::kWaitHandlesLine, E_FAIL);
    }

    // The HRESULT of the worker's last run (0 while it runs normally).
    HRESULT GetExitCode() const { return m_hrExitCode.load(std::memory_order_acquire); }
    DWORD GetThreadId() const { return m_dwThreadId.load(std::memory_order_acquire); }

  protected:
    int m_nPriority = THREAD_PRIORITY_NORMAL;

  private:
    static DWORD WINAPI ThreadProc(LPVOID parameter) {
        auto* self = static_cast<CThread*>(parameter);
        return static_cast<DWORD>(self->Run());
    }

    HRESULT Run() {
        _set_se_translator(&CGlobalErrorHandlingEnvironment::Win32Translator);
        m_hrExitCode.store(S_OK, std::memory_order_release);
        T* owner = static_cast<T*>(this);
        try {
            HRESULT hr = TApartment::Init();
            if (FAILED(hr))
                throw CHresultError(__FILE__, k47thread::kJoinFailedLine, hr);
            SetWaitHandles(0, nullptr, nullptr, INFINITE);
            owner->OnThreadInit();
            SetEvent(m_hRunningEvent);
            for (;;) {
                DWORD result = TWait::Wait(m_dwHandleCount, m_hWaitSet, m_dwWaitTimeout);
                if (result == WAIT_OBJECT_0)
                    break;
                if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + m_dwHandleCount) {
                    const DWORD index = result - WAIT_OBJECT_0 - 1;
                    // Through a local: GCC 12 with -fsanitize=undefined mis-evaluates the index
                    // inside a pointer-to-member call on an array element.
                    const Handler handler = m_handlers[index];
                    (owner->*handler)(index);
                }
            }
        } catch (const CExceptionBase& e) {
            K47LogHandled(e, __FILE__, k47thread::kRunHandledLine);
            m_hrExitCode.store(e.GetHresult(), std::memory_order_release);
        } catch (...) {
            K47LogUnhandled(__FILE__, k47thread::kRunUnhandledLine);
            m_hrExitCode.store(E_FAIL, std::memory_order_release);
        }
        ResetEvent(m_hRunningEvent);
        try {
            owner->OnThreadExit();
            TApartment::Term();
        } catch (const CExceptionBase& e) {
            K47LogHandled(e, __FILE__, k47thread::kCloseHandledLine);
            m_hrExitCode.store(e.GetHresult(), std::memory_order_release);
        } catch (...) {
            K47LogUnhandled(__FILE__, k47thread::kCloseUnhandledLine);
            m_hrExitCode.store(E_FAIL, std::memory_order_release);
        }
        return m_hrExitCode.load(std::memory_order_acquire);
    }

    // Waits for a worker that stopped itself to leave Run, unless that worker is the caller.
    void JoinFinishing() noexcept {
        HANDLE thread = m_hFinishing.exchange(nullptr, std::memory_order_acq_rel);
        if (thread == nullptr)
            return;
        if (m_dwFinishingId.load(std::memory_order_relaxed) != GetCurrentThreadId())
            WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }

    void CloseEvents() noexcept {
        if (m_hStopEvent != nullptr)
            CloseHandle(m_hStopEvent);
        if (m_hRunningEvent != nullptr)
            CloseHandle(m_hRunningEvent);
        m_hStopEvent = nullptr;
        m_hRunningEvent = nullptr;
    }

    // Fields, in order. The thread handle and id are written by Start on the owner's thread and
    // read by the worker when it stops itself, hence atomics.
    HANDLE m_hStopEvent = nullptr;
    std::atomic<HANDLE> m_hThread{nullptr};
    HANDLE m_hRunningEvent = nullptr;
    std::atomic<DWORD> m_dwThreadId{0};
    DWORD m_dwWaitTimeout = INFINITE;
    DWORD m_dwHandleCount = 1;
    HANDLE m_hWaitSet[k47thread::kMaxHandles] = {};
    Handler m_handlers[k47thread::kMaxHandles - 1] = {};
    std::atomic<HRESULT> m_hrExitCode{S_OK};
    // A worker that stopped itself and may still be ending its run; not one of the framework's
    // public fields, it only makes the object's end wait for that thread.
    std::atomic<HANDLE> m_hFinishing{nullptr};
    std::atomic<DWORD> m_dwFinishingId{0};
};
