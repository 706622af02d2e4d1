// Threads: creation, exit code (STILL_ACTIVE while running; the handle is signalled at exit and
// stays signalled), priority, ids.
//
// Threading: every call is thread-safe. On this platform: thread ids are kernel thread ids; the
// new thread may run before CreateThread returns, and *lpThreadId is filled when it does;
// CloseHandle of a running thread's handle does not stop it. Mutexes a thread still owns are
// abandoned before its handle is signalled. SetThreadPriority validates the value and records it
// for GetThreadPriority but leaves scheduling alone (Linux does not let an unprivileged thread
// raise its priority again once lowered). ResumeThread ends only the suspension of
// CREATE_SUSPENDED. GetCurrentThread() returns the pseudo-handle (HANDLE)-2, accepted by the
// thread calls here; waiting on it fails with ERROR_INVALID_HANDLE.
#pragma once
#include "winnt.h"

#define STILL_ACTIVE 259
#define CREATE_SUSPENDED 0x00000004
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN (MAXLONG)

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

EXTERN_C HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                    DWORD dwCreationFlags, LPDWORD lpThreadId);
EXTERN_C DWORD WINAPI ResumeThread(HANDLE hThread);
EXTERN_C BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
EXTERN_C BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
EXTERN_C int WINAPI GetThreadPriority(HANDLE hThread);
EXTERN_C DWORD WINAPI GetCurrentThreadId(void);
EXTERN_C HANDLE WINAPI GetCurrentThread(void);
EXTERN_C DWORD WINAPI GetCurrentProcessId(void);
EXTERN_C DWORD WINAPI GetThreadId(HANDLE Thread);
