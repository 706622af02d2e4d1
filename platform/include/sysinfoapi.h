// System time and tick counts. Thread-safe. GetSystemTimeAsFileTime: UTC in 100 ns units since
// 1601-01-01. GetTickCount64: milliseconds of a monotonic clock that also counts time suspended
// (as the Windows tick count does); GetTickCount is its low 32 bits.
#pragma once
#include "winnt.h"

EXTERN_C void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
EXTERN_C DWORD WINAPI GetTickCount(void);
EXTERN_C ULONGLONG WINAPI GetTickCount64(void);
