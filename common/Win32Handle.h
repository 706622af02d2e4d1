// Owners of Windows kernel handles used by the serial drivers:
//   CWin32HANDLE         — one handle (a port, a file); closed when another is attached and on
//                          destruction. Null and INVALID_HANDLE_VALUE both mean "no handle".
//   CWin32Mutex<TWait>   — an unnamed, unowned Windows mutex behind the CSyncObjectBase
//                          operations: Lock waits without limit, Unlock releases, TryLock succeeds
//                          only when the wait with time-out 0 returns WAIT_OBJECT_0. Being a
//                          mutex, it is recursive and owned by the thread that took it, so Unlock
//                          must come from that thread (take it through CK47ScopedLock).
//   CSimpleWaitingTrait  — the waiting policy of CWin32Mutex: one plain WaitForSingleObject.
//
// Threading: CWin32HANDLE is not synchronised (its owner guards it, the drivers with their port
// lock); CWin32Mutex is thread-safe. Both are move-less and copy-less: one owner for their life.
#pragma once

#include <windows.h>

#include "common/K47Global.h"
#include "common/thread.h"

class CWin32HANDLE {
  public:
    CWin32HANDLE() noexcept = default;
    explicit CWin32HANDLE(HANDLE handle) noexcept : m_handle(handle) {}
    ~CWin32HANDLE() { Close(); }
    CWin32HANDLE(const CWin32HANDLE&) = delete;
    CWin32HANDLE& operator=(const CWin32HANDLE&) = delete;

    // Takes over `handle`, closing the one held before (unless it is the same).
    void Attach(HANDLE handle) noexcept {
        if (handle == m_handle)
            return;
        Close();
        m_handle = handle;
    }
    [[nodiscard]] HANDLE Detach() noexcept {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }
    // Closes the handle held, if any; the holder is null afterwards.
    void Close() noexcept {
        if (IsValid())
            CloseHandle(m_handle);
        m_handle = nullptr;
    }

    HANDLE Get() const noexcept { return m_handle; }
    bool IsValid() const noexcept {
        return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE;
    }
    operator HANDLE() const noexcept { return m_handle; }

  private:
    HANDLE m_handle = nullptr;
};

struct CSimpleWaitingTrait {
    static DWORD Wait(HANDLE handle, DWORD timeout) noexcept {
        return WaitForSingleObject(handle, timeout);
    }
};

template <class TWait>
class CWin32Mutex : public CSyncObjectBase {
  public:
    // Throws CWin32Error when the mutex cannot be created.
    CWin32Mutex() : m_mutex(CreateMutexA(nullptr, FALSE, nullptr)) {
        if (!m_mutex.IsValid())
            throw CWin32Error(__FILE__, __LINE__);
    }
    ~CWin32Mutex() = default;
    CWin32Mutex(const CWin32Mutex&) = delete;
    CWin32Mutex& operator=(const CWin32Mutex&) = delete;

    // An abandoned mutex (its owner thread ended holding it) is owned by the waiter now, as on
    // Windows, so Lock counts it as taken.
    void Lock() override { TWait::Wait(m_mutex, INFINITE); }
    void Unlock() override { ReleaseMutex(m_mutex); }
    bool TryLock() override {
        DWORD result = TWait::Wait(m_mutex, 0);
        if (result == WAIT_OBJECT_0)
            return true;
        // Only WAIT_OBJECT_0 counts as taken; an abandoned mutex was acquired all the same and
        // is given back at once so that the caller, who will not unlock it, leaks no ownership.
        if (result == WAIT_ABANDONED)
            ReleaseMutex(m_mutex);
        return false;
    }

  private:
    CWin32HANDLE m_mutex;
};
