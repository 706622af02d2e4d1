// Per-thread last error: each thread has its own value, 0 when the thread starts. Platform calls
// set it on failure (and a few on success, as their Windows counterparts do).
#pragma once
#include "winnt.h"

EXTERN_C DWORD WINAPI GetLastError(void);
EXTERN_C void WINAPI SetLastError(DWORD dwErrCode);
