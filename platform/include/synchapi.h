// Events, mutexes, waitable timers, waits and critical sections, with Windows semantics:
// WaitForMultipleObjects (wait-any) returns the lowest signalled index and consumes only that
// object; auto-reset events and synchronisation timers are consumed by the wait that returns them;
// CancelWaitableTimer keeps a signalled timer signalled; mutexes and critical sections are
// recursive.
//
// Threading: every call is thread-safe. Where Windows leaves things open, this platform decides:
// - a handle closed while another thread waits on it does not end or break that wait: the object
//   lives until the wait ends, which happens when another object of the set is signalled or the
//   time-out passes (WAIT_FAILED is never returned for it);
// - wait-any tolerates the same handle twice (the lower index is reported); wait-all rejects the
//   same object twice with ERROR_INVALID_PARAMETER, as do nCount 0 and nCount > 64; a bad handle
//   gives WAIT_FAILED with ERROR_INVALID_HANDLE;
// - named events, mutexes and timers are not provided (ERROR_NOT_SUPPORTED); "" counts as unnamed;
// - SetWaitableTimer: a due time of 0 or any absolute time already past signals the timer at once
//   (a period then runs from now); missed periods of a synchronisation timer collapse into one
//   signal; the completion routine is never called (there are no alertable waits); fResume TRUE
//   succeeds with GetLastError() == ERROR_NOT_SUPPORTED; NULL lpDueTime fails with ERROR_NOACCESS.
// - Wait time-outs and relative timers run on the monotonic clock (stopped during suspend, as on
//   Windows 8 and later); absolute due times follow changes of the system time.
#pragma once
#include "winnt.h"

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define WAIT_IO_COMPLETION 0x000000C0u
#define MAXIMUM_WAIT_OBJECTS 64
#define STATUS_WAIT_0 0x00000000u

EXTERN_C HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                    BOOL bInitialState, LPCSTR lpName);
EXTERN_C HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                    BOOL bInitialState, LPCWSTR lpName);
EXTERN_C BOOL WINAPI SetEvent(HANDLE hEvent);
EXTERN_C BOOL WINAPI ResetEvent(HANDLE hEvent);

EXTERN_C HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                    LPCSTR lpName);
EXTERN_C HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                    LPCWSTR lpName);
EXTERN_C BOOL WINAPI ReleaseMutex(HANDLE hMutex);

typedef void(CALLBACK* PTIMERAPCROUTINE)(LPVOID lpArgToCompletionRoutine, DWORD dwTimerLowValue,
                                         DWORD dwTimerHighValue);
EXTERN_C HANDLE WINAPI CreateWaitableTimerA(LPSECURITY_ATTRIBUTES lpTimerAttributes,
                                            BOOL bManualReset, LPCSTR lpTimerName);
EXTERN_C HANDLE WINAPI CreateWaitableTimerW(LPSECURITY_ATTRIBUTES lpTimerAttributes,
                                            BOOL bManualReset, LPCWSTR lpTimerName);
EXTERN_C BOOL WINAPI SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime, LONG lPeriod,
                                      PTIMERAPCROUTINE pfnCompletionRoutine,
                                      LPVOID lpArgToCompletionRoutine, BOOL fResume);
EXTERN_C BOOL WINAPI CancelWaitableTimer(HANDLE hTimer);

EXTERN_C DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
EXTERN_C DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                             DWORD dwMilliseconds);
EXTERN_C void WINAPI Sleep(DWORD dwMilliseconds);

// A critical section is an opaque, process-local recursive lock. The structure is large enough
// for the platform's implementation and must not be copied or moved once initialised.
typedef struct _RTL_CRITICAL_SECTION {
    alignas(8) unsigned char Opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION, RTL_CRITICAL_SECTION;

EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
EXTERN_C BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                           DWORD dwSpinCount);
EXTERN_C BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection,
                                                 DWORD dwSpinCount, DWORD Flags);
EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
EXTERN_C BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
