// Closing kernel object handles (events, timers, mutexes, threads, files).
//
// Thread-safe. Handle values are never 0, INVALID_HANDLE_VALUE or the current-thread
// pseudo-handle, and a closed value is not handed out again for a long time: CloseHandle of an
// invalid or already-closed handle returns FALSE with ERROR_INVALID_HANDLE. An object lives until
// its last handle is closed and no call in progress (such as a wait) still uses it. Closing the
// current-thread pseudo-handle does nothing and succeeds.
#pragma once
#include "winnt.h"

EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject);
